#pragma once
// Apply of the settings: the configuration dialog's copy cnfEdit becomes
// the live record cnf and is saved. Changed connection and sound settings
// are asked about first, since taking them restarts the listener or the
// sound devices; a No puts the old values back into cnfEdit. During a call
// the restarts wait for its end.

#include <cstdint>
#include <string>

#include "phone/dialog_host.h"
#include "phone/phone.h"

namespace orvalis::phone {

// The two Yes/No questions, each its two lines joined by a line feed.
struct ApplyPrompts {
  std::string connection;  // texts 263 and 264
  std::string sound;       // texts 230 and 231
};

// Whether applying cnfEdit would restart the listener, move the phone to
// another server (either is a change of connection), or restart the sound.
bool listenerChanged(const CPhone& phone);
bool serverChanged(const CPhone& phone);
bool connectionChanged(const CPhone& phone);
bool soundChanged(const CPhone& phone);

// The whole Apply: the two questions (asked through host.confirm with an
// empty title, meaning the application's), the saved password forgotten
// unless savePasswd, cnfEdit.startUp = startUp, cnfEdit copied into cnf and
// saved. False when the file could not be written.
bool applySettings(CPhone& phone, DialogHost& host, const ApplyPrompts& prompts, bool savePasswd,
                   std::int32_t startUp);

}  // namespace orvalis::phone
