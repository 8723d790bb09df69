#include "ui/byte_limit_validator.h"

namespace orvalis::ui {

QValidator::State ByteLimitValidator::validate(QString& input, int&) const {
  if (spaces_ == Spaces::refused && input.contains(QLatin1Char(' '))) return Invalid;
  return static_cast<std::size_t>(input.toUtf8().size()) > maxBytes_ ? Invalid : Acceptable;
}

}  // namespace orvalis::ui
