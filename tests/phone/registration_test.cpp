// The registration and change-password dialogs: what their fields keep,
// when they send, and how each outcome in their slot is reported.

#include "account_fixture.h"
#include "net/requests.h"
#include "phone/account_fields.h"

namespace orvalis::testing {
namespace {

using net::SlotState;

TEST(AccountFields, KeepWhatTheFieldsAccept) {
  EXPECT_EQ(phone::numberFieldText("0012"), "12");
  EXPECT_EQ(phone::numberFieldText("000"), "");
  EXPECT_EQ(phone::numberFieldText("1a0-2 3"), "1023");
  EXPECT_EQ(phone::passwdFieldText(" ab c "), "abc");
  EXPECT_EQ(phone::parseNumber("123456789"), 123456789);
  EXPECT_EQ(phone::parseNumber("99999999999"), 0);  // overflow is no number
  EXPECT_EQ(phone::parseNumber(""), 0);
}

TEST_F(AccountTest, RegistrationValidatesBeforeSending) {
  registration->formShow();
  registration->setNumberText("0012");
  EXPECT_EQ(registration->numberText(), "12");

  struct Case {
    const char *number, *first, *second, *message;
  };
  const std::string shortNumber = "Error!\nIs long of the number less than 9 marks.";
  const std::string badPasswd = "Error!\nIs long of the password less than 6 marks.";
  for (const Case c : {Case{"12345678", "abcdef", "abcdef", shortNumber.c_str()},
                       Case{"1000000000", "abcdef", "abcdef", shortNumber.c_str()},
                       Case{"123456789", "abcde", "abcde", badPasswd.c_str()},
                       Case{"123456789", "abcdef", "abcdeg", badPasswd.c_str()},
                       Case{"123456789", "abcdefghijklmnop", "abcdefghijklmnop", badPasswd.c_str()}}) {
    registration->setNumberText(c.number);
    registration->setPasswd1(c.first);
    registration->setPasswd2(c.second);
    registration->addNewClick();
    EXPECT_EQ(host.last(), c.message) << c.number << " " << c.first;
    EXPECT_FALSE(registration->busy());
  }
  EXPECT_EQ(slotState(net::reqRegister), SlotState::slotIdle);

  // Nine digits and two equal passwords of 6 and of 15 characters pass.
  host.messages.clear();
  registration->setNumberText("123456789");
  registration->setPasswd1("abcdefghijklmno");
  registration->setPasswd2("abcdefghijklmno");
  registration->addExistsClick();
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(registration->busy());
  EXPECT_EQ(registration->statusLine(), "Registration Exists Number ...");
  const auto expected =
      net::loginPayload(123456789, "abcdefghijklmno", 0, phone().cnf.userPort.get());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), request(net::reqLogin).payload.begin()));

  registration->setPasswd1("abc def");  // the blank is dropped
  EXPECT_EQ(registration->passwd1(), "abcdef");
}

TEST_F(AccountTest, RegistrationReportsEveryOutcome) {
  struct Case {
    std::int16_t slot;
    std::int16_t answer;  // 0: no answer
    const char* message;
    phone::RegResult result;
  };
  using phone::RegResult;
  for (const Case c : {Case{net::reqRegister, net::ansDone, "Registration Ok!", RegResult::registered},
                       Case{net::reqRegister, net::ansNumberDuplicate, "Number Duplicate!", RegResult::none},
                       Case{net::reqRegister, net::ansFailed, "Server Error!", RegResult::none},
                       Case{net::reqRegister, 0, "Server Inaccessable!", RegResult::none},
                       Case{net::reqLogin, net::ansLoggedIn, "Registration Ok!", RegResult::existing},
                       Case{net::reqLogin, net::ansFailed, "Error Number Or Password", RegResult::none},
                       Case{net::reqLogin, net::ansDone, "Server Error!", RegResult::none},
                       Case{net::reqLogin, 0, "Server Inaccessable!", RegResult::none}}) {
    registration->formShow();
    registration->setNumberText("223456789");
    registration->setPasswd1("secret");
    registration->setPasswd2("secret");
    if (c.slot == net::reqRegister) registration->addNewClick();
    else registration->addExistsClick();
    ASSERT_TRUE(registration->busy());

    registration->timer1();  // nothing in yet
    EXPECT_TRUE(registration->busy());
    if (c.answer == 0) fail(c.slot);
    else finish(c.slot, c.answer);
    registration->timer1();

    const bool ok = c.result != RegResult::none;
    EXPECT_EQ(host.last(), c.message);
    EXPECT_EQ(registration->regResult, c.result) << c.message;
    EXPECT_EQ(registration->open(), !ok) << c.message;
    EXPECT_FALSE(registration->busy());
    EXPECT_EQ(registration->statusLine(), "");
    EXPECT_EQ(slotState(c.slot), SlotState::slotIdle);
    if (ok) {
      EXPECT_EQ(registration->regPasswd, "secret");
    }
  }
}

TEST_F(AccountTest, RegistrationLeavesSlotsAloneWithOwnNumberOrBusySlot) {
  registration->formShow();
  registration->setNumberText("223456789");
  registration->setPasswd1("secret");
  registration->setPasswd2("secret");

  // A busy slot: nothing is said, the dialog stays idle.
  ASSERT_TRUE(phone().registerNew(300000003, "other1"));
  registration->addNewClick();
  EXPECT_FALSE(registration->busy());
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(net::readInt32(request(net::reqRegister).payload, 0), 300000003);

  // With an own number every slot is someone else's.
  phone().cnf.userNumber = 200000001;
  finish(net::reqRegister, net::ansDone);
  finish(net::reqLogin, net::ansLoggedIn);
  registration->timer1();
  EXPECT_EQ(slotState(net::reqRegister), SlotState::slotDone);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotDone);
  EXPECT_TRUE(host.messages.empty());

  // And a closed dialog polls nothing.
  phone().cnf.userNumber = 0;
  registration->cancelClick();
  registration->timer1();
  EXPECT_EQ(slotState(net::reqRegister), SlotState::slotDone);
}

TEST_F(AccountTest, PasswordChangeReportsEveryOutcome) {
  passwd->formShow();
  EXPECT_EQ(passwd->statusLine(), "Twice enter the new password.");
  passwd->setPasswd1("abcdef");
  passwd->setPasswd2("abcdeg");
  passwd->acceptClick();
  EXPECT_EQ(host.last(), "Error!\nThe password is less than 6 marks or the fields do not coincide.");

  // Not logged in: the request is refused and the dialog stays idle.
  host.messages.clear();
  passwd->setPasswd2("abcdef");
  passwd->acceptClick();
  EXPECT_FALSE(passwd->busy());
  EXPECT_TRUE(host.messages.empty());

  logIn();
  for (const auto& [answer, message] : {std::pair<std::int16_t, std::string>{0, "server does not answer!"},
                                        {net::ansFailed, "Error Database Server! "}}) {
    passwd->setPasswd1("newpass");
    passwd->setPasswd2("newpass");
    passwd->acceptClick();
    ASSERT_TRUE(passwd->busy());
    EXPECT_EQ(passwd->statusLine(), "Waiting ...");
    EXPECT_EQ(request(net::reqChangePasswd).payload[8], 7);
    if (answer == 0) fail(net::reqChangePasswd);
    else finish(net::reqChangePasswd, answer);
    passwd->timer1();
    EXPECT_EQ(host.last(), message);
    EXPECT_TRUE(passwd->open());
    EXPECT_FALSE(passwd->busy());
    EXPECT_EQ(passwd->passwd1(), "");  // a failure empties the entries
    EXPECT_EQ(slotState(net::reqChangePasswd), SlotState::slotIdle);
  }

  passwd->setPasswd1("newpass");
  passwd->setPasswd2("newpass");
  passwd->acceptClick();
  finish(net::reqChangePasswd, net::ansDone);
  passwd->timer1();
  EXPECT_EQ(host.last(), "The password is successfully changed!");
  EXPECT_TRUE(passwd->pwResult);
  EXPECT_EQ(passwd->pwNew, "newpass");
  EXPECT_FALSE(passwd->open());
}

TEST_F(AccountTest, LanguageTextsReplaceTheirOwnCodesOnly) {
  EXPECT_TRUE(registration->setText(309, "Too short."));
  EXPECT_TRUE(registration->setText(317, "Wipe"));
  EXPECT_FALSE(registration->setText(318, "x"));
  EXPECT_FALSE(registration->setText(299, "x"));
  EXPECT_EQ(registration->text(phone::RegistrationDialog::capClear), "Wipe");
  registration->formShow();
  registration->setNumberText("123456789");
  registration->addNewClick();
  EXPECT_EQ(host.last(), "Error!\nToo short.");

  EXPECT_TRUE(passwd->setText(400, "Password"));
  EXPECT_FALSE(passwd->setText(409, "x"));
  EXPECT_EQ(passwd->text(phone::PasswdDialog::capDialog), "Password");
  EXPECT_FALSE(serverTest->setText(269, "x"));
  EXPECT_FALSE(actions->setText(269, "x"));
  EXPECT_TRUE(actions->setText(270, "Delete?"));
}

}  // namespace
}  // namespace orvalis::testing
