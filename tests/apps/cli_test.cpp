// The headless phone as a program: commands on standard input, display
// texts and state on standard output, settings in its directory.

#include <gtest/gtest.h>

#include <filesystem>

#include "store/cnf_data.h"
#include "store/config.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::testing {
namespace {

RunResult runCli(const TempDir& dir, const std::string& input) {
  return runProgram(ORVALIS_CLI_PATH, {}, dir.path().string(), input);
}

// Gives the phone in dir an own number, and optionally a saved password.
void registerNumber(const TempDir& dir, std::int32_t number, std::string_view passwd = {}) {
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  cnf.userNumber = number;
  cnf.passwd = passwd;
  cnf.passwdLen = static_cast<std::int32_t>(passwd.size());
  ASSERT_TRUE(config.save());
}

TEST(HeadlessPhone, FirstStartCreatesSettingsAndReportsState) {
  TempDir dir;
  const RunResult r = runCli(dir, "status\nfrobnicate\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find("serverState=0 stateClient=5 findState=0 authThread=0 floor=0 "
                       "callMode=0 userNumber=0 stateBind=2 userPort=3393\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("error: unknown command: frobnicate\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir.file("phone201.cnf")), store::cnfSize);
}

TEST(HeadlessPhone, EndOfInputEndsCleanly) {
  TempDir dir;
  const RunResult r = runCli(dir, "");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("phone201.cnf")));
}

TEST(HeadlessPhone, AsksForThePasswordAndSavesItWhenTold) {
  TempDir dir;
  registerNumber(dir, 123456789);
  const RunResult r = runCli(dir, "password abcdef save\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.rfind("login: Please enter yor password\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("serverState=0 "), std::string::npos);

  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  EXPECT_EQ(cnf.passwd.str(), "abcdef");
  EXPECT_EQ(cnf.passwdLen.get(), 6);
}

TEST(HeadlessPhone, CancelledPasswordSuspendsTheLogin) {
  TempDir dir;
  registerNumber(dir, 123456789);
  const RunResult r = runCli(dir, "status please\ncancel\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  // A line that is no answer is refused while the dialog waits.
  EXPECT_NE(r.out.find("error: the login dialog expects"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("serverState=1 "), std::string::npos) << r.out;
}

TEST(HeadlessPhone, SavedPasswordLogsInWithoutAsking) {
  TempDir dir;
  registerNumber(dir, 123456789, "abcdef");
  const RunResult r = runCli(dir, "status\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.find("login:"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace orvalis::testing
