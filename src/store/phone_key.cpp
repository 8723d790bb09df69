#include "store/phone_key.h"

#include <fstream>
#include <span>

#include "store/atomic_file.h"
#include "store/server_keys.h"

namespace orvalis::store {

std::optional<PhoneSecret> loadPhoneSecret(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return parsePin(line);  // the same 32 bytes in hex as a pin
}

bool savePhoneSecret(const std::string& path, const PhoneSecret& secret) {
  const std::string text = pinText(secret) + "\n";
  return writeFileAtomically(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
}

}  // namespace orvalis::store
