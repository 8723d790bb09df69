#pragma once
// The main window's popup menu: account items, the configuration, the
// language entries, the admin items, minimising and shutting down.

#include <QAction>
#include <QMenu>

#include <array>

#include "store/language_file.h"
#include "ui/refresh_rules.h"
#include "ui/window_texts.h"

namespace orvalis::ui {

class MainMenu {
 public:
  explicit MainMenu(QWidget* parent);

  // Which account items show and which admin items work.
  void applyState(MenuState state);
  // Captions of the items a language file may replace.
  void applyTexts(const WindowTexts& texts);

  QMenu menu;
  QAction* registration;
  QAction* connect;
  QAction* disconnect;
  QAction* config;
  QMenu* language;
  // Hidden until a language file fills them.
  std::array<QAction*, store::languageMenuSize> languages{};
  QMenu* admin;
  QAction* deleteUser;
  QAction* changePasswd;
  QAction* minimize;
  QAction* shutDown;
};

}  // namespace orvalis::ui
