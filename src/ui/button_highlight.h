#pragma once
// The three-state highlight of the skin buttons (normal, hover, pressed)
// and which events press a button. The window feeds it pointer and key
// events and carries out what each reaction asks: redraw buttons, then
// press one.

#include <array>
#include <cstdint>
#include <vector>

#include "ui/button_codes.h"

namespace orvalis::ui {

// Also the offset of the button's image within its three.
enum ButtonState : int { stateNormal = 0, stateHover = 1, statePressed = 2 };

struct ButtonDraw {
  int code = 0;
  ButtonState state = stateNormal;
  bool operator==(const ButtonDraw&) const = default;
};

struct HighlightReaction {
  std::vector<ButtonDraw> draws;
  int press = 0;  // the button to press after drawing; 0: none
};

class ButtonHighlight {
 public:
  // The pointer moves over button code.
  HighlightReaction pointerOver(int code);
  // The left mouse button goes down on, or comes up from, button code. The
  // release belongs to the button that took the press.
  HighlightReaction mouseDown(int code);
  HighlightReaction mouseUp(int code);
  // A key goes down or up; code is its button (0: none). physicalKey
  // names the key itself (0: unknown), so that a key released after its
  // Shift still ends the hold it began.
  HighlightReaction keyDown(int code, std::uint32_t physicalKey);
  HighlightReaction keyUp(int code, std::uint32_t physicalKey);
  // The pointer moves over the window's background: no button is marked.
  void pointerOverBackground();
  // Every highlighted button the pointer (or last key) has left returns
  // to normal.
  std::vector<ButtonDraw> resetUnmarked();
  // A held key or mouse button whose release will not reach the window
  // (a menu, a modal box or another window took it) holds nothing any
  // more, and every pressed button returns to normal.
  std::vector<ButtonDraw> releaseHolds();

  ButtonState state(int code) const { return valid(code) ? states_[code] : stateNormal; }
  bool marked(int code) const { return valid(code) && marks_[code]; }
  bool keyHeld() const { return keyHeld_; }
  bool mouseHeld() const { return mouseHeld_; }

 private:
  static bool valid(int code) { return code >= 1 && code <= buttonCount; }
  void markOnly(int code);
  // Sets the state of code and adds the redraw to r.
  void setState(int code, ButtonState s, HighlightReaction& r);

  // Indexed by code; index 0 is unused.
  std::array<ButtonState, buttonCount + 1> states_{};
  std::array<bool, buttonCount + 1> marks_{};
  bool keyHeld_ = false;
  bool mouseHeld_ = false;
  int lastKeyCode_ = 0;
  std::uint32_t heldPhysicalKey_ = 0;
};

}  // namespace orvalis::ui
