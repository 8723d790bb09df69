#include "ui/config_fields.h"

#include <charconv>

#include "net/address.h"

namespace orvalis::ui {

std::optional<std::uint16_t> parsePortText(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(portDigits)) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<std::uint32_t> parseHostText(std::string_view text) {
  const auto address = net::parseAddress(text);
  if (!address || *address == 0xFFFFFFFFu) return std::nullopt;
  return address;
}

std::string deviceLabel(std::string_view name) {
  if (name.size() < 3) return "????";
  return std::string(name);
}

namespace {

bool onlyDigits(const QString& s, bool dots) {
  for (const QChar c : s)
    if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && !(dots && c == QLatin1Char('.')))
      return false;
  return true;
}

}  // namespace

QValidator::State PortValidator::validate(QString& input, int&) const {
  if (input.isEmpty()) return Intermediate;
  if (input.size() > portDigits || !onlyDigits(input, false)) return Invalid;
  const unsigned value = input.toUInt();
  if (value > 65535) return Invalid;
  return value == 0 ? Intermediate : Acceptable;
}

QValidator::State HostValidator::validate(QString& input, int&) const {
  if (input.size() > hostChars || !onlyDigits(input, true)) return Invalid;
  return Acceptable;
}

}  // namespace orvalis::ui
