#include "store/device_names.h"

#include <span>

#include "store/atomic_file.h"
#include "store/regular_file.h"

namespace orvalis::store {

namespace {

constexpr std::array<std::string_view, 2> keys = {"speaker", "microphone"};
constexpr std::size_t maxFileSize = 64 * 1024;
constexpr std::string_view processingOff = "processing=off";

std::string readText(const std::string& path) {
  const FileBytes file = readRegularFile(path, maxFileSize + 1);
  if (file.status != FileRead::ok || file.bytes.size() > maxFileSize) return {};
  return file.bytes;
}

bool writeSoundFile(const std::string& path, const DeviceNames& names, bool processing) {
  std::string text = formatDeviceNames(names);
  if (!processing) text.append(processingOff).append("\n");
  return writeFileAtomically(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
}

}  // namespace

DeviceNames parseDeviceNames(std::string_view text) {
  DeviceNames names;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (line.substr(0, eq) == keys[i]) names[i] = line.substr(eq + 1);
  }
  return names;
}

std::string formatDeviceNames(const DeviceNames& names) {
  std::string text;
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (!names[i].empty()) text.append(keys[i]).append("=").append(names[i]).append("\n");
  return text;
}

DeviceNames loadDeviceNames(const std::string& path) { return parseDeviceNames(readText(path)); }

bool saveDeviceNames(const std::string& path, const DeviceNames& names) {
  return writeSoundFile(path, names, loadSoundProcessing(path));
}

bool parseSoundProcessing(std::string_view text) {
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    if (text.substr(0, eol) == processingOff) return false;
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  }
  return true;
}

bool loadSoundProcessing(const std::string& path) { return parseSoundProcessing(readText(path)); }

bool saveSoundProcessing(const std::string& path, bool on) {
  return writeSoundFile(path, loadDeviceNames(path), on);
}

}  // namespace orvalis::store
