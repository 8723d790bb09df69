// The registration, login and change-password windows over their models,
// and the flows of the main menu against a real server.

#include <QTest>

#include "account_fixture.h"
#include "net/message_codes.h"

namespace orvalis::testing {
namespace {

using phone::FlowOutcome;
using ui::RegistrationForm;

std::string text(const QLineEdit* edit) { return edit->text().toStdString(); }

// Types the text key by key, also letters no key code names.
void typeInto(QLineEdit* edit, const QString& keys) {
  edit->clear();
  for (const QChar c : keys)
    QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

TEST_F(AccountDialogsTest, RegistrationFieldsFilterAndValidate) {
  makeDialogs();
  RegistrationForm& form = dialogs->registrationForm();
  registration->formShow();
  form.show();
  EXPECT_EQ(form.windowTitle(), "Registration");
  EXPECT_TRUE(form.timer().isActive());
  EXPECT_TRUE(form.saveBox()->isChecked());

  QTest::keyClicks(form.numberEdit(), "0012");
  EXPECT_EQ(text(form.numberEdit()), "12");
  QTest::keyClicks(form.numberEdit(), "a-3 ");
  EXPECT_EQ(text(form.numberEdit()), "123");
  typeInto(form.passwd1Edit(), "ab c");
  EXPECT_EQ(registration->passwd1(), "abc");
  typeInto(form.passwd2Edit(), "0123456789abcdefgh");
  EXPECT_EQ(text(form.passwd2Edit()), "0123456789abcde");  // at most 15

  form.clearClicked();
  for (const QLineEdit* e : {form.numberEdit(), form.passwd1Edit(), form.passwd2Edit()})
    EXPECT_TRUE(e->text().isEmpty());

  // What the window shows of a refused entry: the message, still idle.
  typeInto(form.numberEdit(), "123456789");
  typeInto(form.passwd1Edit(), "abcdef");
  typeInto(form.passwd2Edit(), "abcdeg");
  form.addNewClicked();
  EXPECT_EQ(host.last(), "Error!\nIs long of the password less than 6 marks.");
  EXPECT_TRUE(form.newButton()->isEnabled());
  EXPECT_EQ(phone().quiryAuth[net::reqRegister].load(), net::SlotState::slotIdle);

  // A valid entry is queued: everything but the save box waits.
  typeInto(form.passwd2Edit(), "abcdef");
  form.addNewClicked();
  EXPECT_EQ(form.statusLabel()->text(), "Registration New Number ...");
  for (const QWidget* w : std::initializer_list<const QWidget*>{
           form.clearButton(), form.newButton(), form.existsButton(), form.cancelButton(),
           form.numberEdit(), form.passwd1Edit(), form.passwd2Edit()})
    EXPECT_FALSE(w->isEnabled());
  EXPECT_TRUE(form.saveBox()->isEnabled());
  form.cancelClicked();  // ignored while waiting
  EXPECT_TRUE(form.isVisible());

  // No answer: reported, idle again, still open.
  phone().quiryAuth[net::reqRegister].store(net::SlotState::slotFailed);
  form.timerFired();
  EXPECT_EQ(host.last(), "Server Inaccessable!");
  EXPECT_TRUE(form.statusLabel()->text().isEmpty());
  EXPECT_TRUE(form.newButton()->isEnabled());
  form.cancelClicked();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.timer().isActive());

  // Language texts reach the captions.
  EXPECT_TRUE(dialogs->setText(305, "Новый"));
  EXPECT_EQ(form.newButton()->text(), QStringLiteral("Новый"));
  EXPECT_TRUE(dialogs->setText(400, "Пароль"));
  EXPECT_EQ(dialogs->passwdForm().windowTitle(), QStringLiteral("Пароль"));
  EXPECT_FALSE(dialogs->setText(270, "x"));
  dialogs->configuration();
  EXPECT_EQ(configurations, 1);
}

TEST_F(AccountDialogsTest, LoginFormPrefillsAndAcceptsAnEmptyPassword) {
  makeDialogs();
  ui::LoginForm& login = client().loginDialog();
  Script script;
  script.then([&] { return login.isVisible(); }, [&] {
    EXPECT_EQ(text(login.passwdEdit()), "kept12");
    EXPECT_TRUE(login.saveBox()->isChecked());
    // The settings keep 15 bytes: seven Cyrillic letters, not fifteen.
    typeInto(login.passwdEdit(), QStringLiteral("абвгдежзий"));
    EXPECT_EQ(login.passwdEdit()->text(), QStringLiteral("абвгдеж"));
    typeInto(login.passwdEdit(), "new 12");
    login.okClicked();
  });
  script.then([&] { return login.isVisible(); }, [&] {
    EXPECT_TRUE(login.passwdEdit()->text().isEmpty());  // not saved: not shown
    EXPECT_FALSE(login.saveBox()->isChecked());
    EXPECT_FALSE(login.forgetKeyBox()->isVisible());
    login.okClicked();
  });
  script.then([&] { return login.isVisible(); }, [&] { login.cancelClicked(); });
  // After a refused server key, and only then, the dialog offers to trust
  // the new one.
  script.then([&] { return login.isVisible(); }, [&] {
    EXPECT_TRUE(login.forgetKeyBox()->isVisible());
    EXPECT_FALSE(login.forgetKeyBox()->isChecked());
    login.forgetKeyBox()->click();
    login.okClicked();
  });
  script.start();

  const auto typed = login.run({true, "kept12"});
  EXPECT_TRUE(typed.ok);
  EXPECT_EQ(typed.passwd, "new12");
  EXPECT_TRUE(typed.savePasswd);
  const auto empty = login.run({false, "kept12"});
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.passwd, "");
  EXPECT_FALSE(login.run({}).ok);
  EXPECT_TRUE(login.run({.serverKeyRefused = true}).forgetServerKey);
  EXPECT_TRUE(script.finished());
}

TEST_F(AccountDialogsTest, RegistrationThenLoginThenPasswordChangesAgainstTheServer) {
  ServerProcess server;
  makeDialogs(server.port());
  ticker.start();

  // A number someone registered already.
  ASSERT_TRUE(phone().registerNew(111111111, "other1"));
  auto& slot = phone().quiryAuth[net::reqRegister];
  Script taken;
  taken.then([&] { return slot.finished(); }, [&] { slot.store(net::SlotState::slotIdle); });
  ASSERT_TRUE(taken.runToEnd());

  RegistrationForm& form = dialogs->registrationForm();
  Script reg;
  reg.then([&] { return form.isVisible(); }, [&] {
       typeInto(form.numberEdit(), "111111111");
       typeInto(form.passwd1Edit(), "secret1");
       typeInto(form.passwd2Edit(), "secret1");
       form.newButton()->click();
     })
      .then([&] { return host.saw("Number Duplicate!"); }, [&] {
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.newButton()->isEnabled());
        typeInto(form.numberEdit(), "0222222222");
        EXPECT_EQ(text(form.numberEdit()), "222222222");
        form.saveBox()->click();  // untick: the password is not kept
        form.newButton()->click();
      });
  reg.start();
  dialogs->registration();
  ASSERT_TRUE(reg.finished());
  EXPECT_TRUE(host.saw("Registration Ok!"));
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(dialogs->lastOutcome(), FlowOutcome::done);
  EXPECT_EQ(phone().cnf.userNumber, 222222222);
  EXPECT_EQ(savedSettings().userNumber, 222222222);
  EXPECT_EQ(savedSettings().passwdLen, 0);
  EXPECT_EQ(savedSettings().passwd, "");

  // With a number the menu item does nothing.
  dialogs->registration();
  EXPECT_EQ(dialogs->lastOutcome(), FlowOutcome::notAvailable);

  // The automatic login asks for the password that was not kept.
  ui::LoginForm& login = client().loginDialog();
  Script ask;
  ask.then([&] { return login.isVisible(); }, [&] {
       EXPECT_TRUE(login.passwdEdit()->text().isEmpty());
       typeInto(login.passwdEdit(), "secret1");
       login.okClicked();
     })
      .then([&] { return phone().serverState.load() == phone::ServerState::loggedIn; }, [] {});
  ASSERT_TRUE(ask.runToEnd());
  EXPECT_EQ(savedSettings().passwdLen, 0);

  // A password change kept in the file, then one that erases it.
  ui::PasswdForm& pw = dialogs->passwdForm();
  auto change = [&](const QString& newPasswd, bool save) {
    Script script;
    script.then([&] { return pw.isVisible(); }, [&] {
      EXPECT_EQ(pw.windowTitle(), "Change Passwodr.");
      EXPECT_FALSE(pw.saveBox()->isChecked());
      typeInto(pw.passwd1Edit(), newPasswd);
      typeInto(pw.passwd2Edit(), newPasswd);
      if (save) pw.saveBox()->click();
      pw.acceptButton()->click();
      EXPECT_EQ(pw.statusLabel()->text(), "Waiting ...");
      EXPECT_FALSE(pw.cancelButton()->isEnabled());
    });
    script.start();
    dialogs->changePasswd();
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(host.last(), "The password is successfully changed!");
    EXPECT_EQ(dialogs->lastOutcome(), FlowOutcome::done);
  };
  change("second2", true);
  EXPECT_EQ(savedSettings().passwdLen, 7);
  EXPECT_EQ(savedSettings().passwd, "second2");
  change("third33", false);
  EXPECT_EQ(savedSettings().passwdLen, 0);
  EXPECT_EQ(phone().cnf.passwd.str(), "");

  // The server took the last one: a fresh login with it succeeds.
  phone().serverState = phone::ServerState::loggedOut;
  Script relogin;
  relogin.then([&] { return login.isVisible(); }, [&] {
            typeInto(login.passwdEdit(), "third33");
            login.okClicked();
          })
      .then([&] { return phone().serverState.load() == phone::ServerState::loggedIn; }, [] {});
  EXPECT_TRUE(relogin.runToEnd());
}

}  // namespace
}  // namespace orvalis::testing
