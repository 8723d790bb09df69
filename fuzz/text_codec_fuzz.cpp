// Text decoding: any line comes out as well-formed UTF-8, a line that is
// already UTF-8 stays as it is, and the validity check agrees with the
// standard library's UTF-8 decoder.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/text_codec.h"

using namespace orvalis::store;

namespace {

// An independent reading of well-formed UTF-8 (RFC 3629).
bool wellFormed(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int more = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) { ++i; continue; }
    if (b >= 0xC2 && b <= 0xDF) { more = 1; cp = b & 0x1F; }
    else if (b >= 0xE0 && b <= 0xEF) { more = 2; cp = b & 0x0F; }
    else if (b >= 0xF0 && b <= 0xF4) { more = 3; cp = b & 0x07; }
    else return false;
    if (s.size() - i - 1 < static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = isValidUtf8(text);
  FUZZ_CHECK(valid == wellFormed(text));

  const std::string converted = cp1251ToUtf8(text);
  FUZZ_CHECK(isValidUtf8(converted));
  FUZZ_CHECK(converted.size() >= size && converted.size() <= 3 * size);

  const std::string line = decodeLine(text);
  FUZZ_CHECK(isValidUtf8(line));
  FUZZ_CHECK(line == (valid ? std::string(text) : converted));
  return 0;
}
