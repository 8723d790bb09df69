#pragma once
// A real window beside the account dialogs of this test, whose message
// boxes are recorded, and a script that acts inside modal dialogs.

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "phone/dialog_host.h"
#include "phone/passwd_change.h"
#include "phone/registration.h"
#include "support/child_process.h"
#include "ui/window_dialogs.h"

namespace orvalis::testing {

class RecordingHost : public phone::DialogHost {
 public:
  void message(std::string_view text) override { messages.emplace_back(text); }
  bool confirm(std::string_view, std::string_view) override { return false; }
  std::string last() const { return messages.empty() ? std::string() : messages.back(); }
  bool saw(std::string_view text) const {
    for (const auto& m : messages)
      if (m == text) return true;
    return false;
  }
  std::vector<std::string> messages;
};

// Steps run in order from the event loop, each once its condition holds;
// a modal dialog's loop runs them too. Past the deadline the open dialog
// is ended so that a broken flow fails instead of hanging.
class Script {
 public:
  using Condition = std::function<bool()>;
  using Action = std::function<void()>;

  Script() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { step(); });
  }
  Script& then(Condition when, Action act) {
    steps_.push_back({std::move(when), std::move(act)});
    return *this;
  }
  void start() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    timer_.start();
  }
  bool finished() const { return next_ == steps_.size(); }

  std::vector<std::string> strayBoxes;

  // Runs the event loop until every step ran or the deadline passed.
  bool runToEnd() {
    if (!timer_.isActive()) start();
    while (!finished() && !timedOut_) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return finished();
  }

 private:
  void step() {
    if (finished()) return timer_.stop();
    if (std::chrono::steady_clock::now() > deadline_) {
      timedOut_ = true;
      timer_.stop();
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
        modal->done(QDialog::Rejected);
      return;
    }
    // A box none of the steps waits for (another part of the window may
    // complain about the test machine) is noted and closed, not waited on.
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      strayBoxes.push_back(box->text().toStdString());
      box->done(QMessageBox::Ok);
    }
    // One at a time: an action may open a modal loop that runs the next.
    if (running_ || !steps_[next_].first()) return;
    running_ = true;
    auto act = steps_[next_++].second;
    act();
    running_ = false;
  }

  QTimer timer_;
  std::vector<std::pair<Condition, Action>> steps_;
  std::size_t next_ = 0;
  bool running_ = false;
  bool timedOut_ = false;  // then the open dialog was ended
  std::chrono::steady_clock::time_point deadline_;
};

// The registration server on loopback, with a port the system chose.
class ServerProcess {
 public:
  ServerProcess()
      : process_(ORVALIS_SERVER_PATH, {"--port", "0", "--bind", "127.0.0.1", "--db",
                                       dir_.file("server.db").string(), "--hash-cost", "min"}) {
    const auto port = process_.waitForLine("listening on ", std::chrono::seconds(30));
    if (!port) throw std::runtime_error("server did not start: " + process_.errText());
    port_ = static_cast<std::uint16_t>(std::stoi(*port));
  }
  std::uint16_t port() const { return port_; }

 private:
  TempDir dir_;
  ChildProcess process_;
  std::uint16_t port_ = 0;
};

class AccountDialogsTest : public ClientTest {
 protected:
  // Builds the window and this test's dialogs; serverPort 0: no server.
  void makeDialogs(std::uint16_t serverPort = 0) {
    prepareSettings([serverPort](store::CnfData& cnf) {
      cnf.serverHost = htonl(INADDR_LOOPBACK);
      cnf.serverPort = serverPort;
    });
    makeClient();
    phone().netReady = serverPort != 0;
    registration = std::make_unique<phone::RegistrationDialog>(phone(), host);
    passwd = std::make_unique<phone::PasswdDialog>(phone(), host);
    dialogs = std::make_unique<ui::WindowDialogs>(phone(), client().accountActions(), *registration,
                                                  *passwd, &client(), host,
                                                  [this] { ++configurations; });
    // The phone's heartbeat, which the window's options left off.
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [this] { phone().tick(); });
  }
  void TearDown() override {
    ticker.stop();
    dialogs.reset();
  }

  // The account fields as the settings file holds them.
  struct SavedAccount {
    std::int32_t userNumber = 0;
    std::int32_t passwdLen = 0;
    std::string passwd;
  };
  SavedAccount savedSettings() {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.dir());  // loads the file
    return {cnf.userNumber, cnf.passwdLen, cnf.passwd.str()};
  }

  RecordingHost host;
  std::unique_ptr<phone::RegistrationDialog> registration;
  std::unique_ptr<phone::PasswdDialog> passwd;
  std::unique_ptr<ui::WindowDialogs> dialogs;
  QTimer ticker;
  int configurations = 0;
};

}  // namespace orvalis::testing
