#pragma once
// What the account dialogs and actions need of the window around them:
// message boxes. The window shows real boxes, the headless phone prints,
// tests record.

#include <string>
#include <string_view>

namespace orvalis::phone {

class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // A modal box with one OK button. Two-part texts arrive joined by a line
  // feed.
  virtual void message(std::string_view text) = 0;
  // A modal Yes/No box; true when the user chose Yes.
  virtual bool confirm(std::string_view title, std::string_view text) = 0;
};

// Joins the two parts of a message the way every box shows them.
inline std::string joinLines(std::string_view first, std::string_view second) {
  std::string s(first);
  s += '\n';
  s += second;
  return s;
}

}  // namespace orvalis::phone
