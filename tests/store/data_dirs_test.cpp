#include "store/data_dirs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvalis::store {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(UserDirectory, TakesTheFirstSetOfHomeXdgAndHome) {
  EXPECT_EQ(userDirectory("/p", "/x", "/h"), "/p");
  EXPECT_EQ(userDirectory(nullptr, "/x", "/h"), "/x/orvalis");
  EXPECT_EQ(userDirectory("", "", "/h"), "/h/.local/share/orvalis");
  EXPECT_EQ(userDirectory(nullptr, nullptr, nullptr), "");
}

// A prefix as a package installs it: bin/prog and share/orvalis/<sub>.
class DataDirs : public ::testing::Test {
 protected:
  DataDirs() {
    fs::create_directories(user_.path() / "Language");
    fs::create_directories(prefix_.path() / "bin");
    fs::create_directories(prefix_.path() / "share/orvalis/Language");
    fs::create_directories(prefix_.path() / "share/orvalis/Skins");
  }
  std::vector<std::string> dirs() const {
    return dataSearchDirs(user_.path().string(), prefix_.path() / "bin/prog");
  }
  std::string installed() const { return prefix_.dir() + "share/orvalis/"; }

  TempDir user_;
  TempDir prefix_;
};

TEST_F(DataDirs, SearchesTheUserDirectoryThenTheInstalledData) {
  EXPECT_EQ(dirs(), (std::vector<std::string>{user_.dir(), installed()}));
  fs::remove_all(prefix_.path() / "share");
  EXPECT_EQ(dirs(), std::vector<std::string>{user_.dir()});
}

TEST_F(DataDirs, TheUsersOwnCopyComesFirst) {
  const std::vector<std::string> found = dirs();
  EXPECT_EQ(firstDirWith(found, "Language"), user_.dir());
  EXPECT_EQ(firstDirWith(found, "Skins"), installed());
  // Nowhere: the user's directory, where the missing files are reported.
  EXPECT_EQ(firstDirWith(found, "nokia"), user_.dir());
  EXPECT_EQ(firstDirWith({}, "Skins"), "");
}

}  // namespace
}  // namespace orvalis::store
