// The address book from any file content: what a load keeps is saved, and
// saving it again after a reload writes the same bytes; look-ups agree
// with the rows.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "store/addr_book.h"
#include "store/config.h"

using namespace orvalis::store;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const orvalis::fuzz::ScratchDir scratch;
  const auto path = scratch.file(usersFileName);
  orvalis::fuzz::writeBytes(path, data, size);

  AddrBook book(path.string(), [] {});
  FUZZ_CHECK(book.saveFile());
  const auto first = orvalis::fuzz::readBytes(path);
  FUZZ_CHECK(book.loadFile());
  FUZZ_CHECK(book.saveFile());
  FUZZ_CHECK(orvalis::fuzz::readBytes(path) == first);

  for (int row = 1; row < bookRows; ++row) {
    const std::string& number = book.cell(2, row);
    if (number.empty()) continue;
    const int found = book.findNumber(number);
    FUZZ_CHECK(found >= 1 && found <= row);
    FUZZ_CHECK(book.phonesType(row) >= contactNormal && book.phonesType(row) <= contactBlackList);
    const std::int32_t id = book.phonesId(row);
    if (id != 0) {
      const std::int32_t type = book.typeOf(id);
      FUZZ_CHECK(type >= contactNormal && type <= contactBlackList);
    }
  }
  return 0;
}
