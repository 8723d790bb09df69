#pragma once
// What the configuration dialog will show once it exists: the texts a
// language file gave it (codes 200 to 272) and the two labels the
// controller fills. Until then they are only kept.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::ui {

class ConfigSeam {
 public:
  static constexpr std::int32_t firstCode = 200;
  static constexpr std::int32_t lastCode = 272;

  // Keeps a text of the dialog's range; false for other codes.
  bool setText(std::int32_t code, std::string_view text);
  // The latest text received for a code, if any.
  std::optional<std::string> text(std::int32_t code) const;

  void setLocalHostLabel(std::string_view text) { localHost_ = text; }
  void setTestServerLabel(std::string_view text) { testServer_ = text; }
  const std::string& localHostLabel() const { return localHost_; }
  const std::string& testServerLabel() const { return testServer_; }

 private:
  std::map<std::int32_t, std::string> texts_;
  std::string localHost_;
  std::string testServer_;
};

}  // namespace orvalis::ui
