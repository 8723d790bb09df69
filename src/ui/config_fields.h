#pragma once
// What the configuration dialog's edits accept: ports and dotted quads (the
// SOCKS5 name and password take a ByteLimitValidator). The parsers are pure;
// the validators drop a refused key silently.

#include <QValidator>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::ui {

inline constexpr int portDigits = 5;
inline constexpr int hostChars = 15;
// The SOCKS5 name and password, in UTF-8 bytes.
inline constexpr std::size_t secretBytes = 15;

// A port typed in an edit: 1..65535 in decimal digits; nothing otherwise,
// so a value outside never reaches the settings cut to 16 bits.
std::optional<std::uint16_t> parsePortText(std::string_view text);
// A dotted quad (network order); nothing for other text and for
// 255.255.255.255, which cannot be told from a failed parse.
std::optional<std::uint32_t> parseHostText(std::string_view text);
// Half duplex cannot transmit all the time nor by detector alone: those
// activation modes become their button variants.
inline int halfDuplexMsa(int index) { return index | 1; }
// How a device's product name is listed; the shortest names say nothing.
std::string deviceLabel(std::string_view name);

// Digits only, at most five, never above 65535.
class PortValidator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// Digits and dots, at most fifteen characters.
class HostValidator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

}  // namespace orvalis::ui
