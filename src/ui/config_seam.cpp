#include "ui/config_seam.h"

namespace orvalis::ui {

bool ConfigSeam::setText(std::int32_t code, std::string_view text) {
  if (code < firstCode || code > lastCode) return false;
  texts_[code] = text;
  return true;
}

std::optional<std::string> ConfigSeam::text(std::int32_t code) const {
  const auto it = texts_.find(code);
  if (it == texts_.end()) return std::nullopt;
  return it->second;
}

}  // namespace orvalis::ui
