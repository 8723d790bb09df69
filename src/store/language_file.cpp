// Language files: listing, naming and parsing of "Language/<name>.ln".

#include "store/language_file.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "store/regular_file.h"
#include "store/text_codec.h"
#include "store/text_fields.h"

namespace orvalis::store {

namespace {

// A language file is a few kilobytes; anything far larger is not one, and
// reading it whole into memory is not worth the risk.
constexpr std::size_t maxFileSize = 1 << 20;
constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";


// The bytes of a regular file of reasonable size; nothing on any failure, so
// that a half-read file never applies part of its lines.
std::optional<std::string> readSmallFile(const std::string& path) {
  FileBytes file = readRegularFile(path, maxFileSize + 1);
  if (file.status != FileRead::ok || file.bytes.size() > maxFileSize) return std::nullopt;
  return std::move(file.bytes);
}

}  // namespace

std::optional<LanguageLine> parseLanguageLine(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0 || eq + 1 == line.size()) return std::nullopt;
  const std::int32_t id = parseDecimal(trimBlanks(line.substr(0, eq)));
  if (id == 0) return std::nullopt;
  return LanguageLine{id, decodeLine(trimBlanks(line.substr(eq + 1)))};
}

std::vector<LanguageLine> parseLanguageText(std::string_view content) {
  if (content.starts_with(byteOrderMark)) content.remove_prefix(byteOrderMark.size());
  std::vector<LanguageLine> lines;
  while (!content.empty()) {
    const std::size_t lf = content.find('\n');
    std::string_view line = content.substr(0, lf);
    content.remove_prefix(lf == std::string_view::npos ? content.size() : lf + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (auto parsed = parseLanguageLine(line)) lines.push_back(std::move(*parsed));
  }
  return lines;
}

std::vector<std::string> languageCaptions(const std::vector<std::string>& fileNames) {
  std::vector<std::string> captions;
  for (const std::string& name : fileNames) {
    if (captions.size() == languageMenuSize) break;
    // A name that is not UTF-8 could not be shown, nor found again from its
    // shown caption.
    if (!isValidUtf8(name)) continue;
    const std::size_t at = name.find(languageSuffix);
    if (at == std::string::npos || at < 2 || at + languageSuffix.size() != name.size()) continue;
    captions.push_back("&" + name.substr(0, at));
  }
  return captions;
}

std::optional<std::vector<std::string>> listLanguageDir(const std::string& baseDir) {
  std::error_code ec;
  std::filesystem::directory_iterator it(std::filesystem::path(baseDir) / languageDirName, ec);
  if (ec) return std::nullopt;
  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;  // keep what was listed before the error
    names.push_back(it->path().filename().string());
  }
  return names;
}

std::string languageFilePath(const std::string& baseDir, std::string_view caption) {
  if (caption.starts_with('&')) caption.remove_prefix(1);
  std::string path = baseDir;
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(languageDirName).append("/").append(caption).append(languageSuffix);
  return path;
}

bool applyLanguageFile(const std::string& baseDir, std::string_view caption, const TextSetter& set) {
  // The caption comes from the stored settings too: it must not lead the
  // reader out of the language directory.
  if (caption.find('/') != std::string_view::npos || caption.find('\0') != std::string_view::npos)
    return false;
  const std::optional<std::string> content = readSmallFile(languageFilePath(baseDir, caption));
  if (!content) return false;
  for (const LanguageLine& line : parseLanguageText(*content)) set(line.id, line.text);
  return true;
}

}  // namespace orvalis::store
