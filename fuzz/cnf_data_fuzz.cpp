// The settings record from any file content: the record holds the file's
// bytes exactly, every field reads by name, a value read sets back to the
// same value, and the file saved from a loaded record loads the same.
// A value after the record's bytes is tried on a field the input names.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "store/cnf_data.h"
#include "store/cnf_names.h"
#include "store/config.h"
#include "store/gsm_frames.h"

using namespace orvalis::store;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const orvalis::fuzz::ScratchDir scratch;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto image = bytes.first(std::min(size, cnfSize));

  CnfData cnf;
  setDefaults(cnf);
  cnf.overlay(image);
  const auto encoded = cnf.encode();
  FUZZ_CHECK(std::equal(image.begin(), image.end(), encoded.begin()));

  const std::int32_t frames = gsmFramesPerBuffer(cnf.nGsm);
  FUZZ_CHECK(frames >= 1 && frames <= maxNGsm + 1);

  for (const std::string_view name : cnfFieldNames()) {
    const auto value = getCnfField(cnf, name);
    FUZZ_CHECK(value.has_value());
    if (!setCnfField(cnf, name, *value)) continue;
    // A damaged text that fills its field without an end is cut by one.
    const auto after = getCnfField(cnf, name);
    FUZZ_CHECK(after == value ||
               (after->size() + 1 == value->size() && value->starts_with(*after)));
  }

  if (size > cnfSize) {
    const auto names = cnfFieldNames();
    const std::string_view name = names[bytes[cnfSize] % names.size()];
    const std::string_view value(reinterpret_cast<const char*>(data) + cnfSize + 1,
                                 size - cnfSize - 1);
    const auto before = cnf.encode();
    if (!setCnfField(cnf, name, value)) FUZZ_CHECK(cnf.encode() == before);
  }

  // Through the file: loaded over the defaults, saved whole, loaded again.
  orvalis::fuzz::writeBytes(scratch.file(cnfFileName), data, size);
  CnfData loaded, edit;
  CConfig config(loaded, edit, scratch.file("").string());
  FUZZ_CHECK(config.save());
  const auto saved = loaded.encode();
  FUZZ_CHECK(saved == encoded);
  CnfData again, againEdit;
  CConfig(again, againEdit, scratch.file("").string());
  FUZZ_CHECK(again.encode() == saved && edit.encode() == saved);
  return 0;
}
