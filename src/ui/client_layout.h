#pragma once
// The controls of the main window at their places: the display, the
// number field, the keypad and address-book panels, the push-to-talk panel
// and the 23 skin buttons.

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QWidget>

#include <array>

#include "store/addr_book.h"
#include "ui/addr_grid.h"
#include "ui/button_codes.h"
#include "ui/number_field.h"
#include "ui/skin_button.h"

namespace orvalis::ui {

inline constexpr int windowWidth = 210;
inline constexpr int windowHeight = 405;
inline constexpr int panelOpenHeight = 140;  // keypad and address book
inline constexpr int talkOpenHeight = 43;    // push-to-talk panel
inline constexpr int collapsedHeight = 1;

struct ClientWidgets {
  QLabel* ownNumber = nullptr;  // Label2
  QLabel* clock = nullptr;      // Label3
  QLabel* state = nullptr;      // LState
  QLabel* privacy = nullptr;    // a lock for a private call, a caller not verified
  QLabel* name = nullptr;       // LName
  QLabel* display = nullptr;    // LMsg1: the controller's status texts
  NumberField* number = nullptr;
  QCheckBox* mute = nullptr;
  QWidget* keypad = nullptr;  // PNumPad
  QLabel* keypadBack = nullptr;
  QWidget* list = nullptr;  // PList
  QLabel* listBack = nullptr;
  QLabel* memo = nullptr;  // LMemo
  AddrGrid* grid = nullptr;  // made once the address book exists
  QWidget* talk = nullptr;  // PButtonVoice
  QLabel* talkBack = nullptr;
  QFrame* takeBar = nullptr;  // floor indicator over button 19
  QFrame* giveBar = nullptr;  // floor indicator over button 20
  std::array<SkinButton*, buttonCount + 1> buttons{};  // by code; [0] unused
};

// Builds the controls as children of window, all but the grid.
ClientWidgets buildClientWidgets(QWidget& window, SkinButtonEvents& events);
// The address-book list in its panel, showing book.
AddrGrid* buildAddrGrid(const ClientWidgets& w, store::AddrBook& book);

// Paints a floor indicator.
void setBarColor(QFrame* bar, const QColor& color);

}  // namespace orvalis::ui
