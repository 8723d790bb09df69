// The button dispatcher, the digit, nickname and number helpers, the
// address-book row, the Mute box, and the mouse and key events of the
// skin buttons.

#include <QKeyEvent>

#include "phone/account_fields.h"
#include "ui/client.h"
#include "ui/key_map.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

using net::ClientState;

void TFClient::pressButton(int code) {
  const bool idle = phone_->callState.stateClient.load() == ClientState::clientIdle;
  store::AddrBook& book = phone_->addrBook;
  if (code >= 1 && code <= 9) {
    appendDigit(static_cast<char>('0' + code));
    return;
  }
  switch (code) {
    case btnZero: appendDigit('0'); break;
    case btnIns: book.addNumber(utf8Text(w_.number->text())); break;
    case btnDel: book.deleteCurrent(); break;
    case btnEdit:
      if (book.currentRow() != 0 && !book.cell(0, book.currentRow()).empty())
        dialogs_->editEntry();
      break;
    case btnMenu: popUpMenu(); break;
    case btnCall:
      if (idle) findByNick();
      // Not a number dials 0, which the controller refuses as wrong.
      phone_->dial(phone::parseNumber(utf8Text(w_.number->text())));
      break;
    case btnHangUp:
      if (idle) {
        w_.number->clear();
        w_.name->clear();
      }
      phone_->stopVoice();
      phone_->hangUp();
      break;
    case btnTakeFloor: phone_->requestFloor(); break;
    case btnGiveFloor: phone_->offerFloor(); break;
    case btnMinimize: close(); break;  // without a shutdown: to the tray
    case btnShutDown: shutDown(); break;
    case btnSwapPanels: togglePanels(); break;
    default: break;  // "*", "#" and unknown codes only show the press
  }
}

void TFClient::appendDigit(char digit) {
  // The tone sounds for every digit, also one the full field refuses.
  phone_->audio().startTone(digit);
  QString text = w_.number->text();
  if (text.size() < NumberField::maxChars) text += QLatin1Char(digit);
  w_.number->setText(text);
}

void TFClient::findByNick() {
  const std::string typed = utf8Text(w_.number->text());
  if (typed.empty()) return;  // free rows have empty nicks
  store::AddrBook& book = phone_->addrBook;
  for (int row = 1; row < store::bookRows; ++row) {
    if (book.cell(0, row) != typed) continue;
    w_.name->setText(qtText(book.cell(0, row)));
    w_.number->setText(qtText(book.cell(2, row)));
    book.selectRow(row);
    return;
  }
}

void TFClient::showNameOfNumber() {
  w_.name->clear();
  const std::string shown = utf8Text(w_.number->text());
  if (shown.empty()) return;
  store::AddrBook& book = phone_->addrBook;
  const int row = book.findNumber(shown);
  if (row == 0) return;
  w_.name->setText(qtText(book.cell(0, row)));
  book.selectRow(row);
}

void TFClient::selectCell(int row) {
  const store::AddrBook& book = phone_->addrBook;
  const std::string& nick = book.cell(0, row);
  const std::string& type = book.cell(1, row);
  const std::string& number = book.cell(2, row);
  const std::string& memo = book.memoBook(row);
  w_.memo->setToolTip(qtText(nick + ": " + type + ": " + number + ": " + memo));
  w_.memo->setText(qtText(memo));
  w_.name->setText(qtText(nick));
  w_.number->setText(qtText(number));
}

void TFClient::muteClicked() {
  // Mute is for calls only.
  if (phone_->callState.stateClient.load() != ClientState::clientTalk && w_.mute->isChecked())
    w_.mute->setChecked(false);
  phone_->callState.stateLabel[net::labelMute] = w_.mute->isChecked() ? 1 : 0;
  w_.number->setFocus();
}

void TFClient::togglePanels() {
  if (w_.list->height() == collapsedHeight) {
    w_.keypad->resize(w_.keypad->width(), collapsedHeight);
    w_.list->resize(w_.list->width(), panelOpenHeight);
  } else {
    w_.list->resize(w_.list->width(), collapsedHeight);
    w_.keypad->resize(w_.keypad->width(), panelOpenHeight);
    w_.number->setFocus();
  }
}

void TFClient::popUpMenu() {
  menu_.menu.popup(QPoint(x() + 127, y() + 28));
  // The menu takes the release of whatever opened it.
  releaseHolds();
}

void TFClient::releaseHolds() {
  for (const ButtonDraw& d : highlight_.releaseHolds()) drawButton(d.code, d.state);
}

void TFClient::buttonPointerOver(int code) { apply(highlight_.pointerOver(code)); }
void TFClient::buttonMouseDown(int code) { apply(highlight_.mouseDown(code)); }
void TFClient::buttonMouseUp(int code) { apply(highlight_.mouseUp(code)); }

bool TFClient::eventFilter(QObject* watched, QEvent* event) {
  // A modal box (a refused Ins, a wrong number, the entry editor) takes the
  // release of the key or button that opened it.
  if (watched == this && event->type() == QEvent::WindowBlocked) releaseHolds();
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    const auto* target = qobject_cast<QWidget*>(watched);
    if (target && target->window() == this) previewKey(*static_cast<QKeyEvent*>(event));
  }
  return false;  // every key still reaches the control that has the focus
}

void TFClient::previewKey(const QKeyEvent& event) {
  const KeySeen seen{&event, static_cast<int>(event.type()), event.key(), event.timestamp()};
  if (seen == lastKey_) return;  // the same event passing up to a parent
  lastKey_ = seen;
  const int code = buttonOfKey(event.key(), event.modifiers());
  if (event.type() == QEvent::KeyPress) {
    apply(highlight_.keyDown(code, event.nativeScanCode()));
  } else if (!event.isAutoRepeat()) {
    // A held key repeats as release and press pairs; the key is still down.
    apply(highlight_.keyUp(code, event.nativeScanCode()));
  }
}

}  // namespace orvalis::ui
