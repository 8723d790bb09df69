#pragma once
// The sound devices chosen, remembered by name beside the settings
// ("sound201.txt": "speaker=NAME" and "microphone=NAME" lines), so that a
// changed order of devices does not move the user to another one. The same
// file keeps the choice of echo cancellation and noise suppression, which
// the settings record has no room for: "processing=off" when the user has
// switched them off, nothing while they are on (as in every older file).

#include <array>
#include <string>
#include <string_view>

namespace orvalis::store {

// Loudspeaker first, then microphone; empty: none remembered.
using DeviceNames = std::array<std::string, 2>;

inline constexpr std::string_view deviceNamesFile = "sound201.txt";

// The names in a file's text; unknown and malformed lines are ignored.
DeviceNames parseDeviceNames(std::string_view text);
std::string formatDeviceNames(const DeviceNames& names);

// Read from and written (atomically) to path; a missing file has no names.
DeviceNames loadDeviceNames(const std::string& path);
// Each save keeps what the other one wrote.
bool saveDeviceNames(const std::string& path, const DeviceNames& names);

bool parseSoundProcessing(std::string_view text);
bool loadSoundProcessing(const std::string& path);
bool saveSoundProcessing(const std::string& path, bool on);

}  // namespace orvalis::store
