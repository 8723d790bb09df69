// The hex text of a tunnelled message: a text that decodes is the message's
// own encoding, up to the case of its digits.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "net/hex_packet.h"

using namespace orvalis::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::size_t limit : {maxAnswerHex, maxRequestHex, size}) {
    const auto packet = hexDecodePacket(text, limit);
    if (!packet) continue;
    FUZZ_CHECK(size <= limit);
    const std::string again = hexEncodePacket(*packet);
    FUZZ_CHECK(again.size() == size);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), text.begin(), [](char a, char b) {
      return a == std::toupper(static_cast<unsigned char>(b));
    }));
    FUZZ_CHECK(hexDecodePacket(again, limit).has_value());
  }
  return 0;
}
