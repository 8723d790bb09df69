// Language files: file names, line parsing, reading and the shipped files.

#include "store/language_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "support/fifo.h"

namespace orvalis::store {
namespace {

namespace fs = std::filesystem;
using Pairs = std::vector<std::pair<std::int32_t, std::string>>;

Pairs apply(const std::string& baseDir, std::string_view caption, bool& ok) {
  Pairs got;
  ok = applyLanguageFile(baseDir, caption, [&](std::int32_t id, std::string_view t) {
    got.emplace_back(id, std::string(t));
  });
  return got;
}

TEST(LanguageFile, TakesNamesOfAtLeastTwoCharactersEndingInLn) {
  EXPECT_EQ(languageCaptions({"ab.ln", "a.ln", ".ln", "ab.lnx", "ab.ln.ln", "En.LN", "ab", "..",
                              "\xCF\xF0\xE8.ln", "\xD0\xAF\xD0\xB7.ln"}),
            (std::vector<std::string>{"&ab", "&\xD0\xAF\xD0\xB7"}));
  std::vector<std::string> ten;
  for (char c = 'a'; c < 'a' + 10; ++c) ten.push_back(std::string(2, c) + ".ln");
  const auto captions = languageCaptions(ten);
  ASSERT_EQ(captions.size(), languageMenuSize);
  EXPECT_EQ(captions.back(), "&ii");
}

TEST(LanguageFile, ParsesOneLine) {
  EXPECT_EQ(parseLanguageLine(" \t201 \t=  Incoming call \t"), (LanguageLine{201, "Incoming call"}));
  EXPECT_EQ(parseLanguageLine("201=a=b = c"), (LanguageLine{201, "a=b = c"}));
  EXPECT_EQ(parseLanguageLine("201=   "), (LanguageLine{201, ""}));
  for (std::string_view skipped : {"201=", "=text", "no equals sign", "word=text", "0=text",
                                   "12abc=text", "99999999999=text", " =text"})
    EXPECT_FALSE(parseLanguageLine(skipped).has_value()) << skipped;
}

TEST(LanguageFile, ReadsWholeLinesInEitherEncoding) {
  std::string longRussian;
  for (int i = 0; i < 80; ++i) longRussian += "\xD0\x96";  // 160 bytes
  const std::string content = "\xEF\xBB\xBF" "10=Yes\r\n"
                              "comment\n\n"
                              "104=" + longRussian + "\r\n"
                              "105=\xCF\xEE\xE8\xF1\xEA ...\n"  // CP1251
                              "201=\r\n"
                              "41=last line without line feed";
  EXPECT_EQ(parseLanguageText(content), (std::vector<LanguageLine>{
                                            {10, "Yes"},
                                            {104, longRussian},
                                            {105, "\xD0\x9F\xD0\xBE\xD0\xB8\xD1\x81\xD0\xBA ..."},
                                            {41, "last line without line feed"}}));
  EXPECT_EQ(parseLanguageText("7=a\n\xEF\xBB\xBF" "8=b").size(), 1u);  // a mark only leads
}

TEST(LanguageFile, ListsAndAppliesFilesOfADirectory) {
  std::string made = ::testing::TempDir() + "orvalis-lang-XXXXXX";
  ASSERT_NE(::mkdtemp(made.data()), nullptr);
  const fs::path base = made;
  EXPECT_FALSE(listLanguageDir(made).has_value());
  fs::create_directories(base / "Language" / "Folder.ln");
  std::ofstream(base / "Language" / "Test.ln") << "211=A\n212=B\n211 = C\nbad\n";
  const std::string dir = base.string() + "/";

  auto names = listLanguageDir(dir).value();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Folder.ln", "Test.ln"}));
  EXPECT_EQ(languageFilePath(dir, "&Test"), dir + "Language/Test.ln");

  bool ok = false;
  EXPECT_EQ(apply(dir, "&Test", ok), (Pairs{{211, "A"}, {212, "B"}, {211, "C"}}));
  EXPECT_TRUE(ok);
  for (std::string_view caption : {"&Missing", "&Folder", "&../Language/Test"}) {
    EXPECT_TRUE(apply(dir, caption, ok).empty()) << caption;
    EXPECT_FALSE(ok) << caption;
  }
  // A FIFO under a language name is refused without waiting for a writer.
  const fs::path fifo = base / "Language" / "Pipe.ln";
  testing::makeFifo(fifo);
  EXPECT_TRUE(testing::returnsDespiteFifo(fifo, [&] { apply(dir, "&Pipe", ok); }));
  EXPECT_FALSE(ok);
  fs::remove_all(base);
}

TEST(LanguageFile, ShippedFilesCoverEveryTextOnceInOrder) {
  std::vector<std::int32_t> expected;
  for (const auto& [first, last] : std::vector<std::pair<int, int>>{
           {10, 13}, {20, 22}, {30, 31}, {40, 41}, {100, 108}, {110, 116}, {120, 124}, {200, 208},
           {210, 231}, {240, 244}, {260, 268}, {270, 274}, {300, 317}, {400, 408}})
    for (int id = first; id <= last; ++id) expected.push_back(id);

  const std::string base = std::string(ORVALIS_DATA_DIR) + "/";
  auto captions = languageCaptions(listLanguageDir(base).value());
  std::sort(captions.begin(), captions.end());
  EXPECT_EQ(captions, (std::vector<std::string>{"&English", "&Russian"}));
  for (const std::string& caption : captions) {
    bool ok = false;
    std::vector<std::int32_t> ids;
    for (const auto& [id, text] : apply(base, caption, ok)) {
      ids.push_back(id);
      EXPECT_FALSE(text.empty()) << caption << " " << id;
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(ids, expected) << caption;
  }
}

}  // namespace
}  // namespace orvalis::store
