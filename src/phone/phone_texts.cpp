#include "phone/phone_texts.h"

#include <utility>

namespace orvalis::phone {

namespace {

struct DefaultText {
  PhoneText id;
  const char* text;
};

constexpr std::array<DefaultText, 21> defaults{{
    {PhoneText::txtErrorNetwork, "Error Network"},
    {PhoneText::txtErrorServer, "Error Server"},
    {PhoneText::txtUserInaccessible, "User Inaccessible"},
    {PhoneText::txtUserInvalid, "User Invalid"},
    {PhoneText::txtSearch, "Search ..."},
    {PhoneText::txtRegistrationRequired, "The Registration Is Required"},
    {PhoneText::txtConnectedToServer, "Connected To Server"},
    {PhoneText::txtWrongNumber, "Wrong Number"},
    {PhoneText::txtYourNumber, "It Is Your Number"},
    {PhoneText::txtPortInUse, "Port Already Use"},
    {PhoneText::txtInputCall, "Input Call"},
    {PhoneText::txtOutputCall, "Output Call"},
    {PhoneText::txtUserInaccessable, "User Inaccessable"},
    {PhoneText::txtUserDisconnected, "User Disconnected"},
    {PhoneText::txtUserOnline, "User Online"},
    {PhoneText::txtUserOffline, "User Offline"},
    {PhoneText::txtConnectionToServer, "Connection to server."},
    {PhoneText::txtEnterPasswd, "Enter the password."},
    {PhoneText::txtSavePasswd, "Save password."},
    {PhoneText::txtServerNoAnswer, "server does not answer."},
    {PhoneText::txtPasswdIncorrect, "The password is incorrect, repeat input."},
}};

}  // namespace

std::optional<PhoneText> phoneTextOfCode(std::int32_t code) {
  for (const auto& d : defaults)
    if (static_cast<std::int32_t>(d.id) == code) return d.id;
  return std::nullopt;
}

PhoneTexts::PhoneTexts() {
  for (const auto& d : defaults) texts_[static_cast<std::size_t>(d.id) - firstCode] = d.text;
}

std::string PhoneTexts::get(PhoneText id) const {
  std::lock_guard guard(lock_);
  return texts_[static_cast<std::size_t>(id) - firstCode];
}

void PhoneTexts::set(PhoneText id, std::string_view text) {
  std::string copy(text);
  std::lock_guard guard(lock_);
  texts_[static_cast<std::size_t>(id) - firstCode] = std::move(copy);
}

}  // namespace orvalis::phone
