#pragma once
// A real main window in a directory of its own that holds copies of the
// data files, with a listener on a port the system chooses, a recording
// sound side, no server traffic and no timers: the tests drive the ticks.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "phone/fakes.h"
#include "store/config.h"
#include "support/temp_dir.h"
#include "ui/client.h"

namespace orvalis::testing {

class ClientTest : public ::testing::Test {
 protected:
  ClientTest() {
    namespace fs = std::filesystem;
    for (const char* sub : {"Skins", "Language", "icons", "nokia"}) {
      const fs::path from = fs::path(ORVALIS_DATA_DIR) / sub;
      if (fs::exists(from)) fs::copy(from, dir.path() / sub, fs::copy_options::recursive);
    }
  }

  // Writes the settings the window will read; edit changes the defaults.
  void prepareSettings(const std::function<void(store::CnfData&)>& edit = {}) {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.dir());
    cnf.dynamicPort = 1;
    if (edit) edit(cnf);
    ASSERT_TRUE(config.save());
    prepared_ = true;
  }
  // The address book's file, one contact per line: nick, letter, number.
  void writeBook(const std::string& lines) {
    std::ofstream(dir.file(store::usersFileName), std::ios::binary) << lines;
  }

  ui::TFClient& makeClient() {
    if (!prepared_) prepareSettings();
    ui::ClientOptions options;
    options.baseDir = dir.dir();
    options.makeAudio = [this](const audio::SoundLinks&) {
      auto fake = std::make_unique<FakeAudio>(audioLog);
      audio = fake.get();
      return fake;
    };
    options.hostLookup = [] { return htonl(INADDR_LOOPBACK); };
    options.trace = [this](const std::string& line) { trace.push_back(line); };
    options.startTimers = false;
    client_.reset();
    client_ = std::make_unique<ui::TFClient>(std::move(options));
    client().phone().netReady = false;  // no transaction thread, no server
    awaitListener();
    return client();
  }
  ui::TFClient& client() { return *client_; }
  phone::CPhone& phone() { return client_->phone(); }
  const ui::ClientWidgets& w() { return client_->widgets(); }
  void destroyClient() { client_.reset(); }

  void ticks(int n) {
    for (int i = 0; i < n; ++i) client().refreshTick();
  }
  std::string numberText() { return w().number->text().toStdString(); }
  std::string nameText() { return w().name->text().toStdString(); }
  std::string lastSound() { return audioLog.empty() ? std::string() : audioLog.back(); }
  std::vector<std::string> trayTrace() {
    std::vector<std::string> tray;
    for (const auto& line : trace)
      if (line.rfind("tray: ", 0) == 0) tray.push_back(line);
    return tray;
  }

  TempDir dir;
  std::vector<std::string> audioLog;
  FakeAudio* audio = nullptr;  // owned by the phone
  std::vector<std::string> trace;

 private:
  void awaitListener() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (phone().callState.stateBind.load() != net::BindState::bindListening &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  bool prepared_ = false;
  std::unique_ptr<ui::TFClient> client_;
};

}  // namespace orvalis::testing
