// Where the phone's files live; loading and saving of the settings record.

#include "store/config.h"

#include <arpa/inet.h>
#include <array>
#include <filesystem>
#include <span>
#include <sys/stat.h>

#include "store/atomic_file.h"
#include "store/data_dirs.h"
#include "store/default_melodies.h"
#include "store/regular_file.h"

namespace orvalis::store {

namespace {

constexpr std::uint16_t defaultUserPort = 3393;
// The file holds the account password.
constexpr mode_t cnfMode = 0600;

// Network-order value of a dotted IPv4 address (0 when it is not one).
std::uint32_t ipv4(const char* text) {
  in_addr a{};
  return ::inet_pton(AF_INET, text, &a) == 1 ? a.s_addr : 0;
}

std::string withSlash(std::string dir) {
  // An empty base would put the files at the filesystem root.
  if (dir.empty()) return currentDirectory();
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

std::string currentDirectory() {
  std::error_code ec;
  std::string dir = std::filesystem::current_path(ec).string();
  if (ec || dir.empty()) return "./";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

void setDefaults(CnfData& cnf) {
  const std::uint32_t loopback = ipv4("127.0.0.1");
  cnf.zero();
  cnf.language = "&English";
  cnf.dynamicPort = 1;
  cnf.userPort = defaultUserPort;
  cnf.reHost = loopback;
  cnf.soundSystem = static_cast<std::int32_t>(SoundSystem::halfDuplex);
  cnf.msa = static_cast<std::int32_t>(Msa::buttonAndDetector);
  cnf.tmHoldVoice = 1;
  cnf.activationVoice = 5;
  cnf.nGsm = 1;
  cnf.nGsmDelay = spoolAutomatic;
  cnf.musicTakt = 50;
  cnf.musicVol = 120;
  cnf.musicCallIn = musicDefCallIn;
  cnf.musicCallOut = musicDefCallOut;
  cnf.musicFind = musicDefFind;
  cnf.musicMsg = musicDefMsg;
  cnf.serverHost = ipv4(defaultServerAddress);
  cnf.serverPort = defaultServerPort;
  cnf.socks5Host = loopback;
  cnf.httpHost = loopback;
  cnf.gateHost = loopback;
  cnf.autoReach = 1;
}

CConfig::CConfig(CnfData& cnf, CnfData& cnfEdit, std::string baseDir)
    : dir(withSlash(std::move(baseDir))),
      musicDir(dataDirFor(dir, musicDirName) + musicDirName),
      cnfPath(dir + cnfFileName),
      usersPath(dir + usersFileName),
      cnf_(cnf),
      cnfEdit_(cnfEdit) {
  setDefaults(cnf_);
  load();
}

void CConfig::load() {
  const FileBytes file = readRegularFile(cnfPath, cnfSize);
  if (file.status == FileRead::missing) {
    save();  // first start: the file begins as the defaults
  } else {
    // A read error keeps what came before it; anything but a regular file
    // leaves the defaults.
    const auto* data = reinterpret_cast<const std::uint8_t*>(file.bytes.data());
    cnf_.overlay(std::span(data, file.bytes.size()));
  }
  cnfEdit_.copyFrom(cnf_);
}

bool CConfig::save() { return writeFileAtomically(cnfPath, cnf_.encode(), cnfMode); }

void CConfig::setDefaultMelody(std::int32_t slot) {
  static constexpr std::array<std::string_view, 4> defaults = {
      musicDefCallIn, musicDefCallOut, musicDefFind, musicDefMsg};
  TextField<melodySize>* field = cnf_.melody(slot);
  if (field == nullptr) return;
  field->set(defaults[static_cast<std::size_t>(slot)]);
  std::array<std::uint8_t, melodySize> bytes{};
  field->toBytes(bytes);
  cnfEdit_.melody(slot)->fromBytes(bytes);
}

}  // namespace orvalis::store
