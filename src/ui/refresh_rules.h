#pragma once
// The decisions of the main window's refresh tick that depend only on the
// phone's state: the tray icon, the menu state and whether a taken number
// is a caller to turn away.

#include <cstdint>

#include "net/call_state.h"

namespace orvalis::ui {

// Tray icons: not logged in, logged in, in a call, and two poses that
// alternate while something is under way.
enum TrayIcon : int { trayOffline = 0, trayOnline = 1, trayInCall = 2, trayBlinkA = 3, trayBlinkB = 4 };

// The next phase of the blink, counting 0, 1, 2, 0, ...
int nextBlinkPhase(int phase);

// A running transaction or a call being set up or offered blinks (one
// tick the first pose, two the second).
int trayIconIndex(bool transactionRunning, net::ClientState state, bool loggedIn, int blinkPhase);

// Which account items the main menu offers.
enum MenuState : int { menuNone = 0, menuUnregistered = 1, menuLoggedIn = 2, menuLoggedOut = 3 };
MenuState menuState(std::int32_t userNumber, bool loggedIn);

// A number of the "V" group is turned away as soon as it rings. The group
// belongs to the latest caller and outlives its call, so only a number
// handed over while a call rings or talks is judged by it.
bool rejectsCaller(std::int32_t numberType, net::ClientState stateWhenTaken);

}  // namespace orvalis::ui
