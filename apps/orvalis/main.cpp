// orvalis: the phone in its window. It keeps its files in the user's
// directory, which it makes its working directory.

#include <QApplication>
#include <QSocketNotifier>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <iostream>
#include <string>
#include <string_view>

#include "phone/audio_choice.h"
#include "store/config.h"
#include "store/data_dirs.h"
#include "ui/client.h"

namespace {

constexpr std::string_view usage =
    "usage: orvalis [--audio null|device|wav:CAPTURE.wav,PLAYBACK.wav] [--trace]\n"
    "Runs the phone in its window. Its settings (phone201.cnf) and address book\n"
    "(users201.txt) live in $ORVALIS_HOME, else $XDG_DATA_HOME/orvalis, else\n"
    "~/.local/share/orvalis (created, and made the working directory). The\n"
    "sub-directories Skins, Language, icons and nokia are looked up there first,\n"
    "then in ../share/orvalis beside the program.\n"
    "--audio: no sound (null), the sound card (device; the default when it has a\n"
    "device), or a virtual device in real time that takes the microphone from\n"
    "CAPTURE.wav (8 kHz 16-bit mono) and writes everything played to PLAYBACK.wav.\n"
    "--trace: print each text of the display (\"display: TEXT\"), each message box\n"
    "(\"message: TEXT\") and each change\n"
    "of the tray icon (\"tray: N\") on standard output.\n";

bool hasDisplay(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  // Qt's own option names a platform too.
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "-platform") return true;
  return false;
}

}  // namespace

// In sanitizer builds: the desktop's D-Bus library keeps a buffer to the
// end of the process, which is not this program's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      return 0;
    }
  }
  if (!hasDisplay(argc, argv)) {
    std::cerr << "orvalis: no graphical desktop here (neither DISPLAY nor WAYLAND_DISPLAY is "
                 "set); the phone's window needs one.\n"
                 "orvalis-cli is the same phone without a window.\n";
    return 1;
  }

  // SIGTERM (a desktop session ending, kill), SIGINT and SIGHUP shut the
  // phone down as its Shut Down item does, logging out first. Blocked
  // before Qt starts its threads, so that every thread inherits the mask,
  // and read from a descriptor by the event loop: no handler runs.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&quitSignals, number);
  int stopFd = -1;
  if (::pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr) == 0) {
    stopFd = ::signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) ::pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
  }

  QApplication app(argc, argv);
  // The window goes to the tray when closed; only its shutdown ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  orvalis::phone::AudioChoice audio;
  bool trace = false;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const std::string arg = args[i].toStdString();
    if (arg == "--trace") {
      trace = true;
    } else if (arg == "--audio" && i + 1 < args.size()) {
      const std::string value = args[++i].toStdString();
      const auto choice = orvalis::phone::parseAudioChoice(value);
      if (!choice) {
        std::cerr << "orvalis: bad --audio value: " << value << '\n' << usage;
        return 2;
      }
      audio = *choice;
    } else {
      std::cerr << "orvalis: unknown argument: " << arg << '\n' << usage;
      return 2;
    }
  }

  std::string error;
  if (!orvalis::store::enterUserDirectory(error)) {
    std::cerr << "orvalis: " << error << '\n';
    return 1;
  }
  orvalis::ui::ClientOptions options;
  options.baseDir = orvalis::store::currentDirectory();
  options.makeAudio = orvalis::phone::makeAudioFactory(audio, error);
  if (!options.makeAudio) {
    std::cerr << "orvalis: " << error << '\n';
    return 1;
  }
  // Without any sound device the configuration dialog says so at start,
  // unless no sound was asked for.
  options.reportMissingDevices = audio.kind != orvalis::phone::AudioChoice::Kind::none;
  if (trace) {
    options.trace = [](const std::string& line) { std::cout << line << std::endl; };
  }
  orvalis::ui::TFClient window(std::move(options));
  QObject::connect(&window, &orvalis::ui::TFClient::closed, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  std::unique_ptr<QSocketNotifier> stopNotifier;
  if (stopFd >= 0) {
    stopNotifier = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
    QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &window, [stopFd, &window] {
      signalfd_siginfo info;
      while (::read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      window.shutDown();  // a second signal finds the shutdown under way
    });
  }
  window.showAtStart();
  const int status = app.exec();
  stopNotifier.reset();
  if (stopFd >= 0) ::close(stopFd);
  return status;
}
