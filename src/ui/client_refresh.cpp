// The refresh tick: tray icon, menu, push-to-talk panel, the number to
// show, floor indicators, own number, connection line, highlights, clock;
// and, once shutdown began, its countdown.

#include <QTime>

#include "net/listener.h"
#include "net/message_codes.h"
#include "ui/client.h"

namespace orvalis::ui {

using net::ClientState;
using phone::ServerState;

void TFClient::refreshTick() {
  if (closeCountdown_ > 0) {
    shutdownStep();
    return;
  }
  // A tick that arrives while one runs (a modal box inside it) is dropped.
  if (refreshBusy_) return;
  refreshBusy_ = true;
  blinkPhase_ = nextBlinkPhase(blinkPhase_);
  refreshTray();
  refreshMenu();
  refreshTalkPanel();
  refreshNumber();
  refreshLabels();
  refreshPrivacy();
  for (const ButtonDraw& d : highlight_.resetUnmarked()) drawButton(d.code, d.state);
  w_.clock->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
  refreshBusy_ = false;
}

void TFClient::shutdownStep() {
  if (finished_) return;
  if (closeCountdown_ > 1) --closeCountdown_;
  // At least two ticks, then as long as the logout is pending, until the
  // countdown runs out.
  const bool loggedOut = phone_->quiryAuth[net::reqLogout].load() == net::SlotState::slotIdle;
  if ((closeCountdown_ < shutdownStart - 1 && loggedOut) || closeCountdown_ == 1) {
    closeCountdown_ = 1;
    finished_ = true;
    refreshTimer_.stop();
    net::stopNetwork(phone_->callState);
    close();
  }
}

void TFClient::refreshTray() {
  const int index =
      trayIconIndex(phone_->anyTransactionRunning(), phone_->callState.stateClient.load(),
                    phone_->serverState.load() == ServerState::loggedIn, blinkPhase_);
  if (index == trayIconShown_) return;
  trayIconShown_ = index;
  tray_->setIcon(index);
  if (trace_) trace_("tray: " + std::to_string(index));
}

void TFClient::refreshMenu() {
  const MenuState state =
      menuState(phone_->cnf.userNumber.get(), phone_->serverState.load() == ServerState::loggedIn);
  if (state == menuStateShown_) return;
  menuStateShown_ = state;
  menu_.applyState(state);
}

void TFClient::refreshTalkPanel() {
  net::CallState& call = phone_->callState;
  const std::int32_t ptt = call.stateLabel[net::labelPtt].load();
  if (ptt != call.stateLabelOld[net::labelPtt].load()) {
    call.stateLabelOld[net::labelPtt] = ptt;
    // Collapsed rather than hidden, as the panels are.
    w_.talk->resize(w_.talk->width(), ptt != 0 ? talkOpenHeight : collapsedHeight);
  }
  std::atomic<std::int32_t>& mute = call.stateLabel[net::labelMute];
  if (mute.load() == 1 && call.stateClient.load() != ClientState::clientTalk) {
    mute = 0;
    w_.mute->setChecked(false);
  }
}

void TFClient::refreshNumber() {
  const std::int32_t n = phone_->takeNumber();
  if (n <= 0) return;
  const ClientState taken = phone_->callState.stateClient.load();
  w_.number->setText(QString::number(n));
  showNameOfNumber();
  if (rejectsCaller(phone_->numberType.load(), taken)) pressButton(btnHangUp);
}

void TFClient::refreshPrivacy() {
  const bool inCall = phone_->callState.stateClient.load() != ClientState::clientIdle;
  const bool unverified = inCall && phone_->callerUnverified.load();
  QString shown;
  if (inCall && phone_->privateCall.load()) shown = QStringLiteral("\U0001F512");  // a lock
  if (unverified) shown += QString::fromUtf8(phone::callerUnverifiedText.data(),
                                             static_cast<qsizetype>(phone::callerUnverifiedText.size()));
  if (w_.privacy->text() == shown) return;
  w_.privacy->setText(shown);
  w_.privacy->setStyleSheet(unverified ? QStringLiteral("color: red;") : QString());
}

void TFClient::refreshLabels() {
  switch (phone_->floor.load()) {
    case net::Floor::listening:
      setBarColor(w_.takeBar, Qt::blue);
      setBarColor(w_.giveBar, Qt::green);
      break;
    case net::Floor::pending:
      setBarColor(w_.takeBar, Qt::yellow);
      setBarColor(w_.giveBar, Qt::yellow);
      break;
    case net::Floor::talking:
      setBarColor(w_.takeBar, Qt::green);
      setBarColor(w_.giveBar, Qt::blue);
      break;
  }
  const std::int32_t own = phone_->cnf.userNumber.get();
  w_.ownNumber->setText(own == 0 ? QStringLiteral("UnDefined") : QString::number(own));
  const bool loggedIn = phone_->serverState.load() == ServerState::loggedIn;
  w_.state->setText(loggedIn ? QString() : QStringLiteral("Disconnected."));
  const QColor color = loggedIn ? Qt::black : Qt::red;
  if (w_.state->palette().color(QPalette::WindowText) != color) {
    QPalette p = w_.state->palette();
    p.setColor(QPalette::WindowText, color);
    w_.state->setPalette(p);
  }
}

}  // namespace orvalis::ui
