#include "ui/button_highlight.h"

namespace orvalis::ui {

void ButtonHighlight::markOnly(int code) {
  marks_.fill(false);
  marks_[code] = true;
}

void ButtonHighlight::setState(int code, ButtonState s, HighlightReaction& r) {
  states_[code] = s;
  r.draws.push_back({code, s});
}

HighlightReaction ButtonHighlight::pointerOver(int code) {
  HighlightReaction r;
  if (!valid(code) || mouseHeld_ || keyHeld_) return r;
  markOnly(code);
  if (states_[code] == stateNormal) setState(code, stateHover, r);
  return r;
}

HighlightReaction ButtonHighlight::mouseDown(int code) {
  HighlightReaction r;
  if (!valid(code) || mouseHeld_ || keyHeld_) return r;
  mouseHeld_ = true;
  if (states_[code] != statePressed) setState(code, statePressed, r);
  // The action happens on the press, not on the release.
  r.press = code;
  return r;
}

HighlightReaction ButtonHighlight::mouseUp(int code) {
  HighlightReaction r;
  if (!valid(code) || keyHeld_) return r;
  mouseHeld_ = false;
  if (states_[code] != stateNormal) setState(code, stateNormal, r);
  return r;
}

HighlightReaction ButtonHighlight::keyDown(int code, std::uint32_t physicalKey) {
  HighlightReaction r;
  // Repeats of a held key, and other keys meanwhile, are not presses.
  if (!valid(code) || keyHeld_ || mouseHeld_) return r;
  keyHeld_ = true;
  heldPhysicalKey_ = physicalKey;
  markOnly(code);
  lastKeyCode_ = code;
  if (states_[code] != statePressed) setState(code, statePressed, r);
  // Typed digits reach the number field by themselves.
  if (code > lastKeypadCode) r.press = code;
  return r;
}

HighlightReaction ButtonHighlight::keyUp(int code, std::uint32_t physicalKey) {
  HighlightReaction r;
  if (mouseHeld_) return r;
  const bool sameKey = physicalKey != 0 && keyHeld_ && physicalKey == heldPhysicalKey_;
  if (code == lastKeyCode_ || sameKey) {
    code = lastKeyCode_;
    keyHeld_ = false;
    heldPhysicalKey_ = 0;
  } else {
    return r;  // not the key that went down last: no code
  }
  if (valid(code) && states_[code] != stateNormal) setState(code, stateNormal, r);
  return r;
}

void ButtonHighlight::pointerOverBackground() {
  if (!mouseHeld_ && !keyHeld_) marks_.fill(false);
}

std::vector<ButtonDraw> ButtonHighlight::resetUnmarked() {
  HighlightReaction r;
  for (int code = 1; code <= buttonCount; ++code)
    if (!marks_[code] && states_[code] != stateNormal) setState(code, stateNormal, r);
  return r.draws;
}

std::vector<ButtonDraw> ButtonHighlight::releaseHolds() {
  keyHeld_ = false;
  mouseHeld_ = false;
  heldPhysicalKey_ = 0;
  HighlightReaction r;
  for (int code = 1; code <= buttonCount; ++code)
    if (states_[code] == statePressed) setState(code, stateNormal, r);
  return r.draws;
}

}  // namespace orvalis::ui
