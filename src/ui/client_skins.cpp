// The main window's pictures: the background and its shape, and the skin
// buttons in their three looks.

#include <QPainter>
#include <QPixmap>

#include "ui/client.h"
#include "ui/data_dir.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

void TFClient::applyBackground() {
  backgrounds_ = ApplyBackground(dataDirFor(appDir_, "Skins"));
  // No outline from a missing background: the whole window stays.
  if (!backgrounds_.shape.isEmpty()) setMask(backgrounds_.shape);
  w_.keypadBack->setPixmap(QPixmap::fromImage(backgrounds_.keypad));
  w_.listBack->setPixmap(QPixmap::fromImage(backgrounds_.list));
  w_.talkBack->setPixmap(QPixmap::fromImage(backgrounds_.talk));
  update();
}

void TFClient::loadSkins() {
  QStringList captions;
  for (int code = 1; code <= buttonCount; ++code) captions << qtText(texts_.caption(code));
  images_ = LoadSkins(dataDirFor(appDir_, "Skins"), captions, skinFont());
  // The highlight states stay as they are; the pictures start normal.
  for (int code = 1; code <= buttonCount; ++code) drawButton(code, stateNormal);
}

void TFClient::drawButton(int code, ButtonState state) {
  if (code < 1 || code > buttonCount) return;
  w_.buttons[static_cast<std::size_t>(code)]->setPixmap(
      QPixmap::fromImage(images_.image(code, static_cast<ButtonLook>(state))));
}

void TFClient::apply(const HighlightReaction& reaction) {
  for (const ButtonDraw& d : reaction.draws) drawButton(d.code, d.state);
  if (reaction.press != 0) pressButton(reaction.press);
}

void TFClient::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (backgrounds_.window.isNull()) painter.fillRect(rect(), Qt::white);
  else painter.drawImage(0, 0, backgrounds_.window);
}

}  // namespace orvalis::ui
