#pragma once
// A phone for the account dialogs: no transaction thread (the tests play
// its part through the slots), a host that records the message boxes, and
// the dialogs and actions built on them.

#include <string>
#include <vector>

#include "phone/account_actions.h"
#include "phone/passwd_change.h"
#include "phone/registration.h"
#include "phone/server_test.h"
#include "phone_fixture.h"

namespace orvalis::testing {

class RecordingHost : public phone::DialogHost {
 public:
  void message(std::string_view text) override { messages.emplace_back(text); }
  bool confirm(std::string_view title, std::string_view text) override {
    questions.push_back(std::string(title) + "|" + std::string(text));
    return answerYes;
  }
  std::string last() const { return messages.empty() ? std::string() : messages.back(); }

  std::vector<std::string> messages;
  std::vector<std::string> questions;
  bool answerYes = true;
};

class AccountTest : public PhoneTest {
 protected:
  void SetUp() override {
    makePhone();
    phone().netReady = false;  // queued requests stay in their slots
    registration = std::make_unique<phone::RegistrationDialog>(phone(), host);
    passwd = std::make_unique<phone::PasswdDialog>(phone(), host);
    serverTest = std::make_unique<phone::ServerTest>(phone(), ui);
    actions = std::make_unique<phone::AccountActions>(phone(), ui, host);
  }

  void logIn() {
    phone().serverState = phone::ServerState::loggedIn;
    phone().ticket = {1, 2, 3, 4, 5, 6, 7, 8};
  }

  RecordingHost host;
  std::unique_ptr<phone::RegistrationDialog> registration;
  std::unique_ptr<phone::PasswdDialog> passwd;
  std::unique_ptr<phone::ServerTest> serverTest;
  std::unique_ptr<phone::AccountActions> actions;
};

}  // namespace orvalis::testing
