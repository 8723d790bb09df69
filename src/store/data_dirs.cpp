// Where the phone's files live: the user's directory and the data
// directories searched after it.

#include "store/data_dirs.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace orvalis::store {

namespace {

namespace fs = std::filesystem;

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

std::string withSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

std::string userDirectory(const char* orvalisHome, const char* xdgDataHome, const char* home) {
  if (isSet(orvalisHome)) return orvalisHome;
  if (isSet(xdgDataHome)) return (fs::path(xdgDataHome) / "orvalis").string();
  if (isSet(home)) return (fs::path(home) / ".local/share/orvalis").string();
  return {};
}

bool enterUserDirectory(std::string& error) {
  const std::string dir = userDirectory(std::getenv("ORVALIS_HOME"), std::getenv("XDG_DATA_HOME"),
                                        std::getenv("HOME"));
  if (dir.empty()) {
    error = "set HOME or ORVALIS_HOME: the phone keeps its files there";
    return false;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!ec) fs::current_path(dir, ec);
  if (ec) {
    error = "cannot use " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

std::vector<std::string> dataSearchDirs(const std::string& baseDir, const fs::path& exePath) {
  std::vector<std::string> dirs{withSlash(baseDir)};
  if (exePath.empty()) return dirs;
  std::error_code ec;
  const fs::path installed = fs::canonical(exePath.parent_path() / installedDataRelDir, ec);
  if (!ec && fs::is_directory(installed, ec)) dirs.push_back(withSlash(installed.string()));
  return dirs;
}

std::string firstDirWith(std::span<const std::string> dirs, std::string_view sub) {
  if (dirs.empty()) return {};
  for (const std::string& dir : dirs) {
    std::error_code ec;
    if (fs::is_directory(fs::path(dir) / sub, ec)) return dir;
  }
  return dirs.front();
}

std::string dataDirFor(const std::string& baseDir, std::string_view sub) {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return firstDirWith(dataSearchDirs(baseDir, ec ? fs::path() : exe), sub);
}

}  // namespace orvalis::store
