// The windowed phone for real, on a virtual X display: it logs in to a real
// server, the user types a headless phone's number and presses Escape, both
// sides talk, the user clicks the hang-up button and then "X", and the
// program ends after its logout. A picture of the window during the call
// is kept in the build directory's artifacts.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "cli_phones.h"
#include "support/subprocess.h"

namespace orvalis::testing {
namespace {

namespace fs = std::filesystem;

// A virtual X server on the first free display from :91 on.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    for (int n = 91; n < 140; ++n) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      name_ = ":" + std::to_string(n);
      server_ = std::make_unique<ChildProcess>(
          "Xvfb", std::vector<std::string>{name_, "-screen", "0", "800x600x24", "-nolisten", "tcp"});
      for (int i = 0; i < 100 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
      if (fs::exists(socket)) return;
    }
    throw std::runtime_error("no virtual display could be started");
  }
  const std::string& name() const { return name_; }

  // Runs an X client against this display; its output.
  std::string run(const std::vector<std::string>& command) const {
    std::vector<std::string> args{"DISPLAY=" + name_};
    args.insert(args.end(), command.begin(), command.end());
    return runProgram("env", args, ".", "").out;
  }

 private:
  std::string name_;
  std::unique_ptr<ChildProcess> server_;
};

struct Point {
  int x = 0, y = 0;
};

Point windowPosition(const VirtualDisplay& display, const std::string& window) {
  std::istringstream geometry(display.run({"xdotool", "getwindowgeometry", window}));
  Point p;
  for (std::string word; geometry >> word;) {
    if (word == "Position:") {
      char comma = 0;
      geometry >> p.x >> comma >> p.y;
    }
  }
  return p;
}

TEST(PhoneWindow, LogsInCallsHangsUpAndShutsDown) {
  Server server;
  VirtualDisplay display;
  Phone callee(400000002, server.port());
  ASSERT_TRUE(callee.registerOnServer());
  const std::string own = "400000001";
  {
    // The window's account exists already, its password saved.
    Phone registrar(400000001, server.port());
    ASSERT_TRUE(registrar.registerOnServer());
    ASSERT_TRUE(registrar.logOut());
    EXPECT_EQ(registrar.quit(), 0);
  }

  TempDir home;
  {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, home.dir());
    cnf.serverHost = loopback;
    cnf.serverPort = server.port();
    cnf.dynamicPort = 1;
    cnf.useReDirectCallIn = 1;
    cnf.reHost = loopback;
    cnf.userNumber = std::stoi(own);
    cnf.passwd = "secret1";
    cnf.passwdLen = 7;
    ASSERT_TRUE(config.save());
  }
  for (const char* dir : {"Skins", "Language", "icons", "nokia"})
    fs::copy(fs::path(ORVALIS_DATA_DIR) / dir, home.path() / dir, fs::copy_options::recursive);

  // The X keyboard library reads its server's replies with strndup past
  // their end-less strings, which strict string checks take for a fault of
  // ours; every other check stays on.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":strict_string_checks=0";
  InteractiveProcess window("env",
                            {"DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb", asanOptions,
                             ORVALIS_WINDOW_PATH, "--audio", "null", "--trace"},
                            home.path().string());
  ASSERT_TRUE(window.waitForLine(0, "tray: 1", patience)) << "the window did not log in";
  // Only the visible one: Qt keeps hidden helper windows of the same name.
  const std::string id =
      display.run({"xdotool", "search", "--sync", "--onlyvisible", "--name", "Orvalis"});
  const std::string windowId = id.substr(0, id.find('\n'));
  ASSERT_FALSE(windowId.empty());
  display.run({"xdotool", "windowfocus", "--sync", windowId});

  // The number typed into the number field, Escape dials.
  callee.markNow();
  std::size_t mark = window.mark();
  display.run({"xdotool", "type", "--delay", "40", callee.number()});
  display.run({"xdotool", "key", "Escape"});
  EXPECT_TRUE(window.waitForLine(mark, "display: Search ...", patience));
  ASSERT_TRUE(callee.expect("display: Input Call"));
  callee.send("dial");
  EXPECT_TRUE(window.waitForLine(mark, "display: User Online", patience));
  EXPECT_TRUE(callee.expect("display: User Online"));
  EXPECT_TRUE(window.waitForLine(mark, "tray: 2", patience));
  std::this_thread::sleep_for(500ms);  // a refresh tick shows the push-to-talk panel

  const fs::path artifacts = ORVALIS_ARTIFACT_DIR;
  fs::create_directories(artifacts);
  const fs::path picture = artifacts / "orvalis-window.png";
  display.run({"sh", "-c",
               "xwd -silent -id " + windowId + " | xwdtopnm 2>/dev/null | pnmtopng > " +
                   picture.string()});
  EXPECT_GT(fs::exists(picture) ? fs::file_size(picture) : 0, 1000u);

  // The hang-up button under the display.
  const Point at = windowPosition(display, windowId);
  mark = window.mark();
  callee.markNow();
  display.run({"xdotool", "mousemove", "--sync", std::to_string(at.x + 145),
               std::to_string(at.y + 173), "click", "1"});
  EXPECT_TRUE(window.waitForLine(mark, "display: User Disconnected", patience));
  EXPECT_TRUE(callee.expect("display: User Disconnected"));

  // "X": the program ends once it has logged out.
  display.run({"xdotool", "mousemove", "--sync", std::to_string(at.x + 171),
               std::to_string(at.y + 18), "click", "1"});
  EXPECT_EQ(window.finish(patience), 0);
  EXPECT_EQ(callee.quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
