#pragma once
// Language files: "Language/<name>.ln" beside the program, lines of
// "id=text" that replace the numbered texts of the windows and the
// controller. Reading is pure where it can be, so it can be fuzzed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::store {

inline constexpr std::size_t languageMenuSize = 9;
inline constexpr std::string_view languageDirName = "Language";
inline constexpr std::string_view languageSuffix = ".ln";
inline constexpr std::string_view defaultLanguage = "&English";

struct LanguageLine {
  std::int32_t id = 0;
  std::string text;  // UTF-8
  bool operator==(const LanguageLine&) const = default;
};

// One line (without its line feed): nothing when it is skipped. The text is
// UTF-8, converted from CP1251 when it is not valid UTF-8.
std::optional<LanguageLine> parseLanguageLine(std::string_view line);
// Every applicable line of a file's content, in file order. Lines are read
// whole, ending in "\n" or "\r\n"; each is UTF-8, or CP1251 when it is not
// valid UTF-8. A leading byte-order mark is dropped.
std::vector<LanguageLine> parseLanguageText(std::string_view content);

// Menu captions ("&" + language name) of the first nine acceptable file
// names, in the order given. Names that are not UTF-8 are passed over.
std::vector<std::string> languageCaptions(const std::vector<std::string>& fileNames);
// The entry names of baseDir + "Language/" in the file system's order;
// nothing when the directory cannot be listed.
std::optional<std::vector<std::string>> listLanguageDir(const std::string& baseDir);

// The file of a menu caption: baseDir + "Language/" + caption without its
// leading "&" + ".ln".
std::string languageFilePath(const std::string& baseDir, std::string_view caption);

// Reads the file of the caption and hands every line to `set`, in file
// order; false (and nothing handed over) when the file cannot be read whole,
// is not a regular file, is larger than a megabyte, or when the caption
// holds a "/".
using TextSetter = std::function<void(std::int32_t id, std::string_view text)>;
bool applyLanguageFile(const std::string& baseDir, std::string_view caption, const TextSetter& set);

}  // namespace orvalis::store
