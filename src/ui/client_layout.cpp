#include "ui/client_layout.h"

namespace orvalis::ui {

namespace {

const QColor displayGreen(192, 220, 192);

QLabel* label(QWidget* parent, const char* name, int x, int y, int w = 150, int h = 14) {
  auto* l = new QLabel(parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setGeometry(x, y, w, h);
  // Plain labels let the pointer through to the background, which drags.
  l->setAttribute(Qt::WA_TransparentForMouseEvents);
  return l;
}

QLabel* picture(QWidget* parent, const char* name, int w, int h) {
  QLabel* l = label(parent, name, 0, 0, w, h);
  l->setScaledContents(false);
  return l;
}

QWidget* panel(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* p = new QWidget(parent);
  p->setObjectName(QString::fromLatin1(name));
  p->setGeometry(x, y, w, h);
  return p;
}

SkinButton* button(int code, SkinButtonEvents& events, QWidget* parent, int x, int y, int w) {
  auto* b = new SkinButton(code, events, parent);
  b->setGeometry(x, y, w, 20);
  return b;
}

}  // namespace

void setBarColor(QFrame* bar, const QColor& color) {
  if (bar->palette().color(QPalette::Window) == color) return;
  QPalette p = bar->palette();
  p.setColor(QPalette::Window, color);
  bar->setPalette(p);
}

ClientWidgets buildClientWidgets(QWidget& window, SkinButtonEvents& events) {
  ClientWidgets w;
  QWidget* win = &window;
  auto& b = w.buttons;
  b[btnMenu] = button(btnMenu, events, win, 77, 8, 50);
  b[btnMinimize] = button(btnMinimize, events, win, 141, 8, 20);
  b[btnShutDown] = button(btnShutDown, events, win, 161, 8, 20);

  w.ownNumber = label(win, "Label2", 32, 43);
  QFont bold = w.ownNumber->font();
  bold.setBold(true);
  w.ownNumber->setFont(bold);
  w.clock = label(win, "Label3", 32, 56, 57, 17);
  w.state = label(win, "LState", 32, 72);
  w.privacy = label(win, "LPrivacy", 95, 56, 85, 17);
  w.name = label(win, "LName", 32, 96);
  w.display = label(win, "LMsg1", 32, 112);

  w.number = new NumberField(win);
  w.number->setGeometry(32, 136, 81, 19);
  w.mute = new QCheckBox(QStringLiteral("Mute"), win);
  w.mute->setObjectName(QStringLiteral("CMute"));
  w.mute->setGeometry(120, 136, 57, 17);
  w.mute->setStyleSheet(QStringLiteral("QCheckBox { background-color: %1; }").arg(displayGreen.name()));

  b[btnCall] = button(btnCall, events, win, 30, 163, 70);
  b[btnHangUp] = button(btnHangUp, events, win, 110, 163, 70);

  w.keypad = panel(win, "PNumPad", 15, 192, 180, panelOpenHeight);
  w.keypadBack = picture(w.keypad, "Image3", 180, 140);
  for (int code = 1; code <= lastKeypadCode; ++code) {
    const int col = (code - 1) % 3;
    const int row = (code - 1) / 3;
    b[code] = button(code, events, w.keypad, 15 + 50 * col, 10 + 32 * row, 50);
  }

  w.list = panel(win, "PList", 15, 192, 180, panelOpenHeight);
  w.listBack = picture(w.list, "Image2", 180, 140);
  w.memo = new QLabel(w.list);
  w.memo->setObjectName(QStringLiteral("LMemo"));
  w.memo->setGeometry(15, 0, 165, 13);
  b[btnIns] = button(btnIns, events, w.list, 15, 119, 50);
  b[btnDel] = button(btnDel, events, w.list, 65, 119, 50);
  b[btnEdit] = button(btnEdit, events, w.list, 115, 119, 50);

  w.talk = panel(win, "PButtonVoice", 35, 340, 140, talkOpenHeight);
  w.talkBack = picture(w.talk, "Image4", 140, 43);
  w.takeBar = new QFrame(w.talk);
  w.takeBar->setGeometry(10, 4, 50, 5);
  w.giveBar = new QFrame(w.talk);
  w.giveBar->setGeometry(80, 4, 50, 5);
  for (QFrame* bar : {w.takeBar, w.giveBar}) {
    bar->setAutoFillBackground(true);
    setBarColor(bar, Qt::green);
  }
  b[btnTakeFloor] = button(btnTakeFloor, events, w.talk, 0, 15, 70);
  b[btnGiveFloor] = button(btnGiveFloor, events, w.talk, 70, 15, 70);

  b[btnSwapPanels] = button(btnSwapPanels, events, win, 12, 373, 20);
  b[btnSwapPanels]->setToolTip(QStringLiteral("List/Num Pad"));

  w.number->setFocus();
  return w;
}

AddrGrid* buildAddrGrid(const ClientWidgets& w, store::AddrBook& book) {
  auto* grid = new AddrGrid(book, w.list);
  grid->setGeometry(0, 13, 180, 104);
  // Under the buttons of the panel in the stacking order, as it was made.
  grid->stackUnder(w.buttons[btnIns]);
  return grid;
}

}  // namespace orvalis::ui
