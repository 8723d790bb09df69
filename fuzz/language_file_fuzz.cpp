// Language files: every text handed on is UTF-8, the whole-file reader
// agrees with reading line by line, and menu captions come only from
// acceptable names.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "store/language_file.h"
#include "store/text_codec.h"

using namespace orvalis::store;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::vector<LanguageLine> lines = parseLanguageText(content);
  for (const LanguageLine& line : lines) FUZZ_CHECK(isValidUtf8(line.text));

  // The same lines, read one at a time.
  std::string_view rest = content;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  std::vector<LanguageLine> oneByOne;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view raw = rest.substr(0, end);
    if (raw.ends_with('\r')) raw.remove_suffix(1);
    if (auto line = parseLanguageLine(raw)) oneByOne.push_back(std::move(*line));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  FUZZ_CHECK(oneByOne == lines);

  // The same lines through the file, as the menu's choice loads it.
  static const orvalis::fuzz::ScratchDir scratch;
  static const bool made =
      std::filesystem::create_directory(scratch.file(std::string(languageDirName)));
  FUZZ_CHECK(made);
  const std::string base = scratch.file("").string();
  orvalis::fuzz::writeBytes(languageFilePath(base, "&Fuzz"), data, size);
  std::vector<LanguageLine> applied;
  FUZZ_CHECK(applyLanguageFile(base, "&Fuzz", [&](std::int32_t id, std::string_view text) {
    applied.push_back({id, std::string(text)});
  }));
  FUZZ_CHECK(applied == lines);

  // The content's lines as directory entries.
  std::vector<std::string> names;
  for (std::size_t at = 0; at < size && names.size() < 32;) {
    const std::size_t end = std::min(content.find('\n', at), size);
    names.emplace_back(content.substr(at, end - at));
    at = end + 1;
  }
  const std::vector<std::string> captions = languageCaptions(names);
  FUZZ_CHECK(captions.size() <= languageMenuSize);
  for (const std::string& caption : captions) {
    FUZZ_CHECK(caption.starts_with('&') && isValidUtf8(caption));
  }
  return 0;
}
