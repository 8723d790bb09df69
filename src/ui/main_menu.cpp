#include "ui/main_menu.h"

#include "ui/qt_text.h"

namespace orvalis::ui {

MainMenu::MainMenu(QWidget* parent)
    : menu(parent),
      registration(menu.addAction(QStringLiteral("Registration"))),
      connect(menu.addAction(QStringLiteral("Connect"))),
      disconnect(menu.addAction(QStringLiteral("Disconnect"))),
      config(menu.addAction(QStringLiteral("Config"))),
      language(menu.addMenu(QStringLiteral("Language"))),
      admin(menu.addMenu(QStringLiteral("Admin"))),
      deleteUser(admin->addAction(QStringLiteral("Delete User"))),
      changePasswd(admin->addAction(QStringLiteral("Change Passwd"))),
      minimize(nullptr),
      shutDown(nullptr) {
  for (std::size_t k = 0; k < languages.size(); ++k) {
    QAction* entry = language->addAction(QStringLiteral("lang%1").arg(k + 1));
    entry->setCheckable(true);
    entry->setVisible(false);
    languages[k] = entry;
  }
  menu.addSeparator();
  minimize = menu.addAction(QStringLiteral("Minimize"));
  shutDown = menu.addAction(QStringLiteral("Shut Down"));
}

void MainMenu::applyState(MenuState state) {
  registration->setVisible(state == menuUnregistered);
  connect->setVisible(state == menuLoggedOut);
  disconnect->setVisible(state == menuLoggedIn);
  deleteUser->setEnabled(state == menuLoggedIn);
  changePasswd->setEnabled(state == menuLoggedIn);
}

void MainMenu::applyTexts(const WindowTexts& texts) {
  config->setText(qtText(texts.menuText(txtConfig)));
  language->setTitle(qtText(texts.menuText(txtLanguage)));
  admin->setTitle(qtText(texts.menuText(txtAdmin)));
  deleteUser->setText(qtText(texts.menuText(txtDeleteUser)));
  changePasswd->setText(qtText(texts.menuText(txtChangePasswd)));
}

}  // namespace orvalis::ui
