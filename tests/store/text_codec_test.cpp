// UTF-8 validation and CP1251 conversion.

#include "store/text_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <iconv.h>

namespace orvalis::store {
namespace {

TEST(TextCodec, ValidatesUtf8Strictly) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain\tascii\r"));
  EXPECT_TRUE(isValidUtf8("\xD0\x9F\xD1\x80\xD0\xB8"));  // "При"
  EXPECT_TRUE(isValidUtf8("\xE2\x82\xAC \xF0\x9F\x93\x9E"));
  EXPECT_FALSE(isValidUtf8("\xCF\xF0\xE8"));          // "При" in CP1251
  EXPECT_FALSE(isValidUtf8("ok\xD0"));                // cut short
  EXPECT_FALSE(isValidUtf8("\x80"));                  // stray continuation
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));              // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));          // surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xF8\x88\x80\x80\x80"));  // five-byte form
}

TEST(TextCodec, Utf8PrefixNeverEndsInsideACharacter) {
  const std::string_view pri = "\xD0\x9F\xD1\x80\xD0\xB8";  // "При"
  EXPECT_EQ(utf8Prefix(pri, 3), pri.substr(0, 2));
  EXPECT_EQ(utf8Prefix(pri, 4), pri.substr(0, 4));
  EXPECT_EQ(utf8Prefix(pri, 9), pri);
  EXPECT_EQ(utf8Prefix("a\xF0\x9F\x93\x9E", 4), "a");
  EXPECT_EQ(utf8Prefix("\xCF\xF0\xE8", 2), "\xCF\xF0");  // CP1251: a byte is a character
}

// Every byte against the C library's own converter.
TEST(TextCodec, Cp1251AgreesWithTheSystemConverter) {
  const iconv_t cd = ::iconv_open("UTF-8", "CP1251");
  if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "no CP1251 converter";
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;  // unassigned
    char in = static_cast<char>(b);
    std::array<char, 8> out{};
    char* src = &in;
    char* dst = out.data();
    std::size_t inLeft = 1, outLeft = out.size();
    ASSERT_NE(::iconv(cd, &src, &inLeft, &dst, &outLeft), static_cast<std::size_t>(-1)) << b;
    EXPECT_EQ(cp1251ToUtf8(std::string_view(&in, 1)), std::string(out.data(), dst)) << b;
  }
  ::iconv_close(cd);
  EXPECT_EQ(cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
}

TEST(TextCodec, DecodeLineConvertsOnlyInvalidUtf8) {
  EXPECT_EQ(decodeLine("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");
  EXPECT_EQ(decodeLine("\xC8\xE2\xE0\xED 5"), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD 5");  // "Иван 5"
  EXPECT_EQ(decodeLine("\xA8\xB9"), "\xD0\x81\xE2\x84\x96");                           // "Ё№"
}

}  // namespace
}  // namespace orvalis::store
