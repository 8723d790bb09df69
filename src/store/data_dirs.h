#pragma once
// Where the phone's files live when it may start from anywhere: the user's
// directory holds the settings, the address book and any file the user
// changes; the skins, language files, melodies and icons are looked up there
// first and then in the data directory installed beside the program.

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::store {

// Installed data, relative to the directory of the executable.
inline constexpr std::string_view installedDataRelDir = "../share/orvalis";

// The user's directory: orvalisHome, else xdgDataHome + "/orvalis", else
// home + "/.local/share/orvalis"; empty values count as unset. Empty when
// all three are unset.
std::string userDirectory(const char* orvalisHome, const char* xdgDataHome, const char* home);

// Creates the user's directory (from the environment) and makes it the
// working directory; false with a message when that fails.
bool enterUserDirectory(std::string& error);

// The base directories to search, in order: baseDir, then the installed
// data directory of the program at exePath (when it exists). Each ends in "/".
std::vector<std::string> dataSearchDirs(const std::string& baseDir,
                                        const std::filesystem::path& exePath);

// The first of dirs in which sub is a directory; dirs.front() when none is
// (empty when dirs is).
std::string firstDirWith(std::span<const std::string> dirs, std::string_view sub);

// The base directory that holds sub ("Skins", "Language", ...) for a phone
// whose own directory is baseDir, searched as dataSearchDirs says for the
// running program.
std::string dataDirFor(const std::string& baseDir, std::string_view sub);

}  // namespace orvalis::store
