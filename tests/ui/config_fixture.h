#pragma once
// A configuration dialog over a real controller in a directory of its own:
// a sound side with named devices, a box host that records and answers,
// and an interface that passes the controller's labels to the dialog. No
// timers run; the tests drive the heartbeat.

#include <optional>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "phone/dialog_host.h"
#include "phone/fakes.h"
#include "store/config.h"
#include "support/no_router.h"
#include "support/temp_dir.h"
#include "ui/config_dialog.h"

namespace orvalis::testing {

// The lists of devices the dialog is given; speakers plugged in since they
// were read join them when they are read afresh.
class ConfigAudio : public FakeAudio {
 public:
  using FakeAudio::FakeAudio;
  std::vector<std::string> deviceNames(audio::Direction direction) const override {
    return direction == audio::Direction::playback ? speakers : microphones;
  }
  void refreshDevices() override {
    FakeAudio::refreshDevices();
    speakers.insert(speakers.end(), plugged.begin(), plugged.end());
    plugged.clear();
  }
  void setVolume(std::int32_t v) override { volume = v; }
  void setSoundProcessing(bool on) override { processing = on; }

  std::optional<bool> processing;  // as the phone last set it
  std::vector<std::string> speakers{"Speaker A", "Speaker B"};
  std::vector<std::string> microphones{"Mic A", "Mic B"};
  std::vector<std::string> plugged;
  std::int32_t volume = -1;
};

class ConfigHost : public phone::DialogHost {
 public:
  void message(std::string_view text) override { messages.emplace_back(text); }
  bool confirm(std::string_view, std::string_view text) override {
    questions.emplace_back(text);
    return answer;
  }
  std::vector<std::string> messages;
  std::vector<std::string> questions;
  bool answer = true;
};

class ConfigLabels : public FakeUi {
 public:
  void setLocalHostLabel(std::string_view text) override {
    if (dialog) dialog->setLocalHostLabel(text);
  }
  void setTestServerLabel(std::string_view text) override {
    if (dialog) dialog->setTestServerLabel(text);
  }
  ui::TFCnf* dialog = nullptr;
};

// The settings file read back into records of their own.
struct ConfigFile {
  explicit ConfigFile(const std::string& dir) : config(cnf, cnfEdit, dir) {}
  store::CnfData cnf, cnfEdit;
  store::CConfig config;
};

class ConfigDialogTest : public ::testing::Test {
 protected:
  ~ConfigDialogTest() override { ui.dialog = nullptr; }

  // Writes the settings (edit changes the defaults), builds the phone and
  // the dialog, and shows the dialog.
  ui::TFCnf& makeDialog(const std::function<void(store::CnfData&)>& edit = {},
                        const std::function<void(ConfigAudio&)>& devices = {}) {
    {
      ConfigFile first(dir.dir());
      if (edit) edit(first.cnf);
      EXPECT_TRUE(first.config.save());
    }
    phone_ = std::make_unique<phone::CPhone>(
        ui, dir.dir(),
        [this, devices](const audio::SoundLinks&) {
          auto fake = std::make_unique<ConfigAudio>(audioLog);
          if (devices) devices(*fake);
          audio = fake.get();
          return fake;
        },
        [] { return htonl(INADDR_LOOPBACK); }, noRouter());
    phone_->netReady = false;  // no server
    awaitListener();
    dialog_ = std::make_unique<ui::TFCnf>(*phone_, host, ui);
    ui.dialog = dialog_.get();
    dialog_->showConfig();
    return *dialog_;
  }

  phone::CPhone& phone() { return *phone_; }
  ui::TFCnf& dialog() { return *dialog_; }
  const ui::ConfigWidgets& w() { return dialog_->widgets(); }
  ConfigFile saved() { return ConfigFile(dir.dir()); }

  TempDir dir;
  std::vector<std::string> audioLog;
  ConfigAudio* audio = nullptr;  // owned by the phone
  ConfigHost host;
  ConfigLabels ui;

 private:
  void awaitListener() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (phone_->callState.stateBind.load() != net::BindState::bindListening &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::unique_ptr<phone::CPhone> phone_;
  std::unique_ptr<ui::TFCnf> dialog_;
};

}  // namespace orvalis::testing
