#include "phone/settings_apply.h"

namespace orvalis::phone {

namespace {

// The sound fields, in one place for the comparison and both copies.
template <class To, class F>
void forEachSoundField(To& a, const store::CnfData& b, F&& f) {
  f(a.nGsm, b.nGsm);
  f(a.soundSp, b.soundSp);
  f(a.soundMc, b.soundMc);
  f(a.soundSystem, b.soundSystem);
  f(a.msa, b.msa);
}

void copySound(store::CnfData& to, const store::CnfData& from) {
  forEachSoundField(to, from, [](store::LeInt32& t, const store::LeInt32& f) { t = f.get(); });
}

void copyListener(store::CnfData& to, const store::CnfData& from) {
  to.dynamicPort = from.dynamicPort.get();
  to.userPort = from.userPort.get();
}

void copyServer(store::CnfData& to, const store::CnfData& from) {
  to.serverHost = from.serverHost.get();
  to.serverPort = from.serverPort.get();
}

}  // namespace

bool connectionChanged(const CPhone& phone) { return listenerChanged(phone) || serverChanged(phone); }

bool serverChanged(const CPhone& phone) {
  return phone.cnf.serverHost.get() != phone.cnfEdit.serverHost.get() ||
         phone.cnf.serverPort.get() != phone.cnfEdit.serverPort.get();
}

bool listenerChanged(const CPhone& phone) {
  const store::CnfData& cnf = phone.cnf;
  const store::CnfData& edit = phone.cnfEdit;
  // A listener that stopped while the network is up is restarted too.
  if (phone.callState.stateBind.load() == net::BindState::bindStopped && phone.netReady) return true;
  if (cnf.dynamicPort.get() != edit.dynamicPort.get()) return true;
  return cnf.dynamicPort.get() == 0 && edit.dynamicPort.get() == 0 &&
         cnf.userPort.get() != edit.userPort.get();
}

bool soundChanged(const CPhone& phone) {
  bool changed = false;
  forEachSoundField(phone.cnf, phone.cnfEdit, [&](const store::LeInt32& a, const store::LeInt32& b) {
    changed = changed || a.get() != b.get();
  });
  return changed;
}

bool applySettings(CPhone& phone, DialogHost& host, const ApplyPrompts& prompts, bool savePasswd,
                   std::int32_t startUp) {
  if (connectionChanged(phone)) {
    const bool listener = listenerChanged(phone);
    const bool server = serverChanged(phone);
    if (host.confirm({}, prompts.connection)) {
      if (listener) {
        copyListener(phone.cnf, phone.cnfEdit);
        phone.restartListenerOutsideCall();
      }
      if (server) {
        phone.leaveServer();  // on the old server's settings, still live
        copyServer(phone.cnf, phone.cnfEdit);
      }
    } else {
      copyListener(phone.cnfEdit, phone.cnf);
      copyServer(phone.cnfEdit, phone.cnf);
    }
  }
  if (soundChanged(phone)) {
    if (host.confirm({}, prompts.sound)) {
      copySound(phone.cnf, phone.cnfEdit);
      phone.rememberDevices();  // the user's choice, by name from now on
      phone.audio().stopTest();
      phone.restartPlaybackOutsideCall();
    } else {
      copySound(phone.cnfEdit, phone.cnf);
    }
  }
  // The box unchecked forgets a saved password; checking it never stores one.
  if (!savePasswd) {
    phone.cnfEdit.passwd.clear();
    phone.cnfEdit.passwdLen = 0;
  }
  phone.cnfEdit.startUp = startUp;
  phone.cnf.copyFrom(phone.cnfEdit);
  return phone.config.save();
}

}  // namespace orvalis::phone
