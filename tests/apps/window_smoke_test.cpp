// The windowed phone for real, on a virtual X display, against a real
// server and a headless phone: it logs in (or registers through its menu
// and dialog first), the user types the other phone's number and presses
// Escape, both sides talk, the user hangs up and clicks "X", and the
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

// The window's home: settings pointing at the server, and the data files.
// A number of 0 leaves the phone unregistered.
void prepareHome(const TempDir& home, std::uint16_t serverPort, std::int32_t number) {
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, home.dir());
  cnf.serverHost = loopback;
  cnf.serverPort = serverPort;
  cnf.dynamicPort = 1;
  cnf.useReDirectCallIn = 1;
  cnf.reHost = loopback;
  if (number != 0) {
    cnf.userNumber = number;
    cnf.passwd = "secret1";
    cnf.passwdLen = 7;
  }
  if (!config.save()) throw std::runtime_error("settings not saved");
  for (const char* dir : {"Skins", "Language", "icons", "nokia"})
    fs::copy(fs::path(ORVALIS_DATA_DIR) / dir, home.path() / dir, fs::copy_options::recursive);
}

// The real program on the display, printing what it shows.
std::unique_ptr<InteractiveProcess> startWindow(const VirtualDisplay& display, const TempDir& home) {
  // The X keyboard library reads its server's replies with strndup past
  // their end-less strings, which strict string checks take for a fault of
  // ours; every other check stays on.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      "ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":strict_string_checks=0";
  return std::make_unique<InteractiveProcess>(
      "env",
      std::vector<std::string>{"DISPLAY=" + display.name(), "QT_QPA_PLATFORM=xcb", asanOptions,
                               ORVALIS_WINDOW_PATH, "--audio", "null", "--trace"},
      home.path().string());
}

// The visible window of that name; Qt keeps hidden helper windows of the
// same name.
std::string findWindow(const VirtualDisplay& display, const std::string& name) {
  const std::string id = display.run({"xdotool", "search", "--sync", "--onlyvisible", "--name", name});
  return id.substr(0, id.find('\n'));
}

void click(const VirtualDisplay& display, Point at) {
  display.run({"xdotool", "mousemove", "--sync", std::to_string(at.x), std::to_string(at.y),
               "click", "1"});
}

// Dials the callee from the window by keyboard; both sides talk.
void callFromWindow(const VirtualDisplay& display, const std::string& windowId,
                    InteractiveProcess& window, Phone& callee) {
  display.run({"xdotool", "windowfocus", "--sync", windowId});
  callee.markNow();
  const std::size_t mark = window.mark();
  display.run({"xdotool", "type", "--delay", "40", callee.number()});
  display.run({"xdotool", "key", "Escape"});
  EXPECT_TRUE(window.waitForLine(mark, "display: Search ...", patience));
  ASSERT_TRUE(callee.expect("display: Input Call"));
  callee.send("dial");
  EXPECT_TRUE(window.waitForLine(mark, "display: User Online", patience));
  EXPECT_TRUE(callee.expect("display: User Online"));
  EXPECT_TRUE(window.waitForLine(mark, "tray: 2", patience));
}

TEST(PhoneWindow, LogsInCallsHangsUpAndShutsDown) {
  Server server;
  VirtualDisplay display;
  Phone callee(400000002, server.port());
  ASSERT_TRUE(callee.registerOnServer());
  {
    // The window's account exists already, its password saved.
    Phone registrar(400000001, server.port());
    ASSERT_TRUE(registrar.registerOnServer());
    ASSERT_TRUE(registrar.logOut());
    EXPECT_EQ(registrar.quit(), 0);
  }
  TempDir home;
  prepareHome(home, server.port(), 400000001);
  const auto window = startWindow(display, home);
  ASSERT_TRUE(window->waitForLine(0, "tray: 1", patience)) << "the window did not log in";
  const std::string windowId = findWindow(display, "Orvalis");
  ASSERT_FALSE(windowId.empty());

  // The number typed into the number field, Escape dials.
  callFromWindow(display, windowId, *window, callee);
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
  const std::size_t mark = window->mark();
  callee.markNow();
  click(display, {at.x + 145, at.y + 173});
  EXPECT_TRUE(window->waitForLine(mark, "display: User Disconnected", patience));
  EXPECT_TRUE(callee.expect("display: User Disconnected"));

  // "X": the program ends once it has logged out.
  click(display, {at.x + 171, at.y + 18});
  EXPECT_EQ(window->finish(patience), 0);
  EXPECT_EQ(callee.quit(), 0);
}

TEST(PhoneWindow, RegistersThroughItsDialogThenCalls) {
  Server server;
  VirtualDisplay display;
  Phone callee(400000004, server.port());
  ASSERT_TRUE(callee.registerOnServer());
  TempDir home;
  prepareHome(home, server.port(), 0);
  const auto window = startWindow(display, home);
  const std::string windowId = findWindow(display, "Orvalis");
  ASSERT_FALSE(windowId.empty());
  const Point at = windowPosition(display, windowId);

  // Menu, then its first item: Registration, while no number is set.
  click(display, {at.x + 102, at.y + 18});
  display.run({"xdotool", "key", "--delay", "100", "Down", "Return"});
  const std::string dialog = findWindow(display, "Registration");
  ASSERT_FALSE(dialog.empty());
  display.run({"xdotool", "windowfocus", "--sync", dialog});
  display.run({"xdotool", "type", "--delay", "40", "400000003"});
  display.run({"xdotool", "key", "Tab"});
  display.run({"xdotool", "type", "--delay", "40", "secret1"});
  display.run({"xdotool", "key", "Tab"});
  display.run({"xdotool", "type", "--delay", "40", "secret1"});
  // "New", in the group box under the fields.
  const Point form = windowPosition(display, dialog);
  click(display, {form.x + 58, form.y + 152});
  ASSERT_TRUE(window->waitForLine(0, "message: Registration Ok!", patience))
      << window->outputSince(0);
  // The box has the application's title, like the main window; it shows
  // just after its text is traced.
  std::string box;
  for (const auto until = std::chrono::steady_clock::now() + patience;
       box.empty() && std::chrono::steady_clock::now() < until;) {
    std::istringstream titled(
        display.run({"xdotool", "search", "--onlyvisible", "--name", "Orvalis 2.0.1 betta"}));
    for (std::string id; titled >> id;)
      if (id != windowId && id != dialog) box = id;
    if (box.empty()) std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(box.empty());
  display.run({"xdotool", "windowfocus", "--sync", box});
  display.run({"xdotool", "key", "Return"});

  // The number and password were kept: the phone logs in by itself.
  ASSERT_TRUE(window->waitForLine(0, "tray: 1", patience)) << window->outputSince(0);
  callFromWindow(display, windowId, *window, callee);
  callee.send("hangup");
  EXPECT_TRUE(window->waitForLine(0, "display: User Disconnected", patience));
  click(display, {at.x + 171, at.y + 18});
  EXPECT_EQ(window->finish(patience), 0);
  EXPECT_EQ(callee.quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
