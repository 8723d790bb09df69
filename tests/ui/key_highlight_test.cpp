// The keys that stand for skin buttons, the highlight machine that decides
// which events draw and press them, and the window that frees its holds.

#include <gtest/gtest.h>

#include <QTest>

#include "account_fixture.h"
#include "ui/button_highlight.h"
#include "ui/key_map.h"

namespace orvalis::ui {
namespace {

TEST(KeyMap, DigitsStarHashEnterAndEscape) {
  for (int d = 1; d <= 9; ++d) {
    EXPECT_EQ(buttonOfKey(Qt::Key_0 + d, Qt::NoModifier), d);
    EXPECT_EQ(buttonOfKey(Qt::Key_0 + d, Qt::KeypadModifier), d);
  }
  EXPECT_EQ(buttonOfKey(Qt::Key_0, Qt::NoModifier), btnZero);
  EXPECT_EQ(buttonOfKey(Qt::Key_0, Qt::KeypadModifier), btnZero);
  EXPECT_EQ(buttonOfKey(Qt::Key_Asterisk, Qt::KeypadModifier), btnStar);
  // With Shift, the later rule wins over the digit.
  EXPECT_EQ(buttonOfKey(Qt::Key_8, Qt::ShiftModifier), btnStar);
  EXPECT_EQ(buttonOfKey(Qt::Key_3, Qt::ShiftModifier), btnHash);
  EXPECT_EQ(buttonOfKey(Qt::Key_NumberSign, Qt::ShiftModifier), btnHash);
  EXPECT_EQ(buttonOfKey(Qt::Key_5, Qt::ShiftModifier), 5);
  // Enter opens the menu and Escape is the call key.
  EXPECT_EQ(buttonOfKey(Qt::Key_Return, Qt::NoModifier), btnMenu);
  EXPECT_EQ(buttonOfKey(Qt::Key_Enter, Qt::KeypadModifier), btnMenu);
  EXPECT_EQ(buttonOfKey(Qt::Key_Escape, Qt::NoModifier), btnCall);
  EXPECT_EQ(buttonOfKey(Qt::Key_A, Qt::NoModifier), 0);
  EXPECT_EQ(buttonOfKey(Qt::Key_Space, Qt::NoModifier), 0);
}

using Draws = std::vector<ButtonDraw>;

TEST(ButtonHighlight, PointerHoversPressesOnDownAndReleasesOnUp) {
  ButtonHighlight h;
  EXPECT_EQ(h.pointerOver(5).draws, (Draws{{5, stateHover}}));
  EXPECT_TRUE(h.pointerOver(5).draws.empty());  // already hovered
  EXPECT_TRUE(h.marked(5));
  HighlightReaction down = h.mouseDown(5);
  EXPECT_EQ(down.draws, (Draws{{5, statePressed}}));
  EXPECT_EQ(down.press, 5);  // the mouse presses keypad buttons too
  EXPECT_TRUE(h.mouseHeld());
  // While held, other buttons neither hover nor press, and keys do nothing.
  EXPECT_TRUE(h.pointerOver(6).draws.empty());
  EXPECT_EQ(h.mouseDown(6).press, 0);
  EXPECT_EQ(h.keyDown(btnCall, 0).press, 0);
  EXPECT_EQ(h.mouseUp(5).draws, (Draws{{5, stateNormal}}));
  EXPECT_FALSE(h.mouseHeld());

  // Leaving for the background unmarks; the refresh then restores looks.
  h.pointerOver(7);
  EXPECT_TRUE(h.resetUnmarked().empty());
  h.pointerOverBackground();
  EXPECT_EQ(h.resetUnmarked(), (Draws{{7, stateNormal}}));
  EXPECT_EQ(h.state(7), stateNormal);
}

TEST(ButtonHighlight, HeldKeyBlocksRepeatsOtherKeysAndTheMouse) {
  ButtonHighlight h;
  HighlightReaction down = h.keyDown(btnCall, 0);
  EXPECT_EQ(down.draws, (Draws{{btnCall, statePressed}}));
  EXPECT_EQ(down.press, btnCall);
  // Repeated key-downs of the held key, and any other key, do nothing.
  EXPECT_EQ(h.keyDown(btnCall, 0).press, 0);
  EXPECT_TRUE(h.keyDown(3, 0).draws.empty());
  EXPECT_EQ(h.mouseDown(btnHangUp).press, 0);
  EXPECT_TRUE(h.mouseUp(btnHangUp).draws.empty());
  // Releasing another key leaves the hold.
  EXPECT_TRUE(h.keyUp(3, 0).draws.empty());
  EXPECT_TRUE(h.keyHeld());
  EXPECT_EQ(h.keyUp(btnCall, 0).draws, (Draws{{btnCall, stateNormal}}));
  EXPECT_FALSE(h.keyHeld());
  EXPECT_EQ(h.keyDown(btnCall, 0).press, btnCall);  // a new press acts again
  h.keyUp(btnCall, 0);

  // Keypad keys only show the press: typing reaches the number field.
  HighlightReaction digit = h.keyDown(btnStar, 0);
  EXPECT_EQ(digit.draws, (Draws{{btnStar, statePressed}}));
  EXPECT_EQ(digit.press, 0);
  EXPECT_TRUE(h.marked(btnStar));
  h.keyUp(btnStar, 0);
  EXPECT_EQ(h.mouseDown(btnHash).press, btnHash);
}

TEST(ButtonHighlight, ShiftedKeyReleasedAfterItsShiftEndsTheHold) {
  ButtonHighlight h;
  // Shift+8 goes down as "*"; with Shift already up it comes up as "8".
  h.keyDown(btnStar, 17);
  EXPECT_EQ(h.keyUp(8, 17).draws, (Draws{{btnStar, stateNormal}}));
  EXPECT_FALSE(h.keyHeld());
  // Without knowing the physical key, only the same code ends the hold.
  h.keyDown(btnHash, 0);
  h.keyUp(3, 0);
  EXPECT_TRUE(h.keyHeld());
  // A menu that took the release frees the buttons and draws them released.
  EXPECT_EQ(h.releaseHolds(), (Draws{{btnHash, stateNormal}}));
  EXPECT_EQ(h.mouseDown(btnHangUp).press, btnHangUp);
}

}  // namespace
}  // namespace orvalis::ui

namespace orvalis::testing {
namespace {

using ui::statePressed;

// A modal box or another window takes the release of whatever was held;
// the keypad must not stay dead afterwards.
TEST_F(ClientTest, ModalBoxAndLostActivationReleaseWhatWasHeld) {
  makeClient();
  client().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&client()));
  const ui::ButtonHighlight& h = client().highlight();
  auto pressWorks = [&](Qt::Key key, int code) {
    QTest::keyPress(w().number, key);
    const bool works = h.keyHeld() && h.state(code) == statePressed;
    QTest::keyRelease(w().number, key);
    return works;
  };

  // Ins refuses what is no number with a box, which takes the release.
  client().pressButton(ui::btnSwapPanels);
  w().number->setText(QStringLiteral("12"));
  Script script;
  script.then([&] { return !script.strayBoxes.empty(); }, [] {});
  script.start();
  QTest::mousePress(w().buttons[ui::btnIns], Qt::LeftButton);
  EXPECT_EQ(script.strayBoxes.size(), 1u);
  EXPECT_FALSE(h.mouseHeld());
  EXPECT_NE(h.state(ui::btnIns), statePressed);
  EXPECT_TRUE(pressWorks(Qt::Key_5, 5));

  // Another window becomes active while a key is down.
  client().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&client()));
  QTest::keyPress(w().number, Qt::Key_6);
  ASSERT_TRUE(h.keyHeld());
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  EXPECT_FALSE(h.keyHeld());
  EXPECT_NE(h.state(6), statePressed);
  EXPECT_TRUE(pressWorks(Qt::Key_7, 7));
}

}  // namespace
}  // namespace orvalis::testing
