// orvalis-cli: the headless phone, driven from standard input.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <iostream>
#include <string>
#include <string_view>

#include "phone/audio_choice.h"
#include "cli/cli_help.h"
#include "cli/cli_phone.h"
#include "store/config.h"
#include "store/data_dirs.h"

namespace {

constexpr std::string_view usage =
    "usage: orvalis-cli [--dir DIR] [--audio null|device|wav:CAPTURE.wav,PLAYBACK.wav]\n"
    "                   [--mapping-lease SECONDS]\n"
    "Runs a phone without a window in DIR, where its settings file phone201.cnf\n"
    "lives. Without --dir: $ORVALIS_HOME, else $XDG_DATA_HOME/orvalis, else\n"
    "~/.local/share/orvalis, created and made the working directory.\n"
    "--audio: no sound (null), the sound card (device; the default when it has a\n"
    "device), or a virtual device in real time that takes the microphone from\n"
    "CAPTURE.wav (8 kHz 16-bit mono; silence after its end, or throughout when\n"
    "the name is empty) and writes everything played to PLAYBACK.wav.\n"
    "--mapping-lease: how long a port mapping on the home router is asked for\n"
    "(renewed at half of it; default 3600 seconds).\n";

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  orvalis::phone::AudioChoice audio;
  orvalis::net::ReachOptions reach;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage << orvalis::cli::commandHelp;
      return 0;
    }
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
      continue;
    }
    if (arg == "--audio" && i + 1 < argc) {
      const auto choice = orvalis::phone::parseAudioChoice(argv[++i]);
      if (!choice) {
        std::cerr << "orvalis-cli: bad --audio value: " << argv[i] << '\n' << usage;
        return 2;
      }
      audio = *choice;
      continue;
    }
    if (arg == "--mapping-lease" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      int seconds = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (ec != std::errc{} || end != value.data() + value.size() || seconds < 2) {
        std::cerr << "orvalis-cli: bad --mapping-lease value: " << value << '\n' << usage;
        return 2;
      }
      reach.lease = std::chrono::seconds(seconds);
      continue;
    }
    std::cerr << "orvalis-cli: unknown argument: " << arg << '\n' << usage;
    return 2;
  }
  // SIGINT and SIGTERM end the phone as the end of its input does, logging
  // out first. Blocked before anything may start a thread (the sound
  // library starts some), so that every thread inherits the mask and none
  // of them takes the signals.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  sigaddset(&quitSignals, SIGINT);
  sigaddset(&quitSignals, SIGTERM);
  int stopFd = -1;
  if (::pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr) == 0) {
    stopFd = ::signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) ::pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
  }
  std::string error;
  if (dir.empty()) {
    if (!orvalis::store::enterUserDirectory(error)) {
      std::cerr << "orvalis-cli: " << error << '\n';
      return 1;
    }
    dir = orvalis::store::currentDirectory();
  }
  const auto makeAudio = orvalis::phone::makeAudioFactory(audio, error);
  if (!makeAudio) {
    std::cerr << "orvalis-cli: " << error << '\n';
    return 1;
  }
  orvalis::cli::CliPhone phone(std::cout, STDIN_FILENO, dir, makeAudio, stopFd, std::move(reach));
  if (audio.kind != orvalis::phone::AudioChoice::Kind::none) phone.reportMissingDevices();
  const int status = phone.run();
  if (stopFd >= 0) ::close(stopFd);
  return status;
}
