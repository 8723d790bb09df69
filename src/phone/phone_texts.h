#pragma once
// The controller's 21 replaceable status texts, each known by the code a
// language file uses for it. Worker threads read them while a language
// file may replace them, so access is locked.

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::phone {

enum class PhoneText : std::int32_t {
  txtErrorNetwork = 100,
  txtErrorServer = 101,
  txtUserInaccessible = 102,
  txtUserInvalid = 103,
  txtSearch = 104,
  txtRegistrationRequired = 105,
  txtConnectedToServer = 106,
  txtWrongNumber = 107,
  txtYourNumber = 108,
  txtPortInUse = 110,
  txtInputCall = 111,
  txtOutputCall = 112,
  txtUserInaccessable = 113,
  txtUserDisconnected = 114,
  txtUserOnline = 115,
  txtUserOffline = 116,
  txtConnectionToServer = 120,
  txtEnterPasswd = 121,
  txtSavePasswd = 122,
  txtServerNoAnswer = 123,
  txtPasswdIncorrect = 124,
};

// Texts of private calls, which the language files do not number.
inline constexpr std::string_view privateCallFailedText =
    "Private call failed: the other phone did not prove its key";
inline constexpr std::string_view callerUnverifiedText = "not verified";

// The text of a code, if the code names one (109 and 117 to 119 do not).
std::optional<PhoneText> phoneTextOfCode(std::int32_t code);

class PhoneTexts {
 public:
  PhoneTexts();

  std::string get(PhoneText id) const;
  void set(PhoneText id, std::string_view text);

 private:
  static constexpr std::int32_t firstCode = 100;
  static constexpr std::size_t codeCount = 25;  // 100..124

  mutable std::mutex lock_;
  std::array<std::string, codeCount> texts_;
};

}  // namespace orvalis::phone
