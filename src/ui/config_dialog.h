#pragma once
// TFCnf: the modeless "Config" window. It edits the working copy cnfEdit
// of the settings and makes it live on Apply or OK; the settings that must
// act at once (melodies, tempo, volume, voice threshold, hold time, spool
// size) go into both records as they change. It also keeps the program's
// heartbeat, which runs whether the window shows or not.

#include <QDialog>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "phone/dialog_host.h"
#include "phone/phone.h"
#include "phone/phone_ui.h"
#include "phone/server_test.h"
#include "ui/config_widgets.h"
#include "ui/heartbeat.h"

namespace orvalis::ui {

class TFCnf final : public QDialog, private HeartbeatView {
  Q_OBJECT

 public:
  static constexpr std::int32_t firstCode = 200;
  static constexpr std::int32_t lastCode = 274;
  static constexpr std::size_t melodyFileLimit = 1023;  // a slot keeps its final zero

  // host shows the prompts and messages; ui is the interface the phone
  // shows its texts on, where the server test's outcome goes too.
  TFCnf(phone::CPhone& phone, phone::DialogHost& host, phone::PhoneUi& ui,
        QWidget* parent = nullptr);
  ~TFCnf() override;

  // Tells of a missing output or input device, once, when the event loop
  // runs.
  void reportMissingDevices();

  // The menu's "Config": the live settings into cnfEdit, shown.
  void showConfig();
  // The device lists read afresh, when the phone allows it (see
  // CPhone::refreshDevices), keeping the devices chosen; each list does it
  // as it opens.
  void refreshDeviceLists();
  // Every control from cnfEdit, each running its change handler.
  void fillControls();
  // Apply: the questions, cnfEdit made live and saved, the controls again.
  // False when the settings file could not be written.
  bool apply();
  void okClicked();
  void cancelClicked() { hide(); }

  // A language text (200..274); false for other codes.
  bool setText(std::int32_t code, std::string_view text);
  // The latest text of a code of the range; nothing for other codes.
  std::optional<std::string> text(std::int32_t code) const;

  // The two labels the phone fills.
  void setLocalHostLabel(std::string_view text);
  void setTestServerLabel(std::string_view text);

  // Music tab: a melody file's first bytes into the selected slot of both
  // records. False when the file cannot be read.
  bool loadMelodyFile(const QString& path);
  void playMelody();
  void stopMelody();
  void defaultMelody();
  void startMicTest();
  void stopMicTest();
  void testServer();

  Heartbeat& heartbeat() { return *heartbeat_; }
  const ConfigWidgets& widgets() const { return w_; }

 private:
  // Building (config_tabs.cpp).
  void buildTabs();
  void listDevices();
  // Handlers (config_handlers.cpp).
  void connectHandlers();
  void runHandlers();
  void musicSelected(int slot);
  void taktChanged();
  void volumeChanged();
  void deviceChanged();
  void soundSystemChanged();
  void msaChanged();
  void activationChanged();
  void holdTimeChanged();
  void spoolChanged();
  void dynamicPortChanged();
  void connectWayChanged(int way);
  void flagsChanged();
  void secretsChanged();
  void portEdited(QLineEdit* edit, store::PortField store::CnfData::*field);
  void portFinished(QLineEdit* edit, store::PortField store::CnfData::*field);
  void hostEdited(QLineEdit* edit, store::IpField store::CnfData::*field);
  // Music tab (config_music.cpp).
  void chooseMelodyFile();
  void editMelodyFile();
  std::string melodyName(std::int32_t slot) const;
  // Texts (config_texts.cpp).
  void loadBuiltInTexts();
  void applyCaption(std::int32_t code, const QString& text);
  std::string stored(std::int32_t code) const;

  // HeartbeatView.
  void showRecording(audio::TestState state) override;
  void showPlaying(audio::TestState state) override;
  void showVoiceMeter(bool active, int width) override;
  void showUserPort(std::uint16_t port) override;
  void showServerTestButton(bool enabled) override;

  // Writes a setting into the live record and the working copy.
  template <class F>
  void both(F&& f) {
    f(phone_.cnf);
    f(phone_.cnfEdit);
  }
  bool halfDuplexEdit() const;

  phone::CPhone& phone_;
  phone::DialogHost& host_;
  phone::ServerTest serverTest_;
  ConfigWidgets w_;
  std::map<std::int32_t, std::string> texts_;
  std::unique_ptr<Heartbeat> heartbeat_;
  std::vector<std::string> missingDevices_;
  bool filling_ = false;  // controls are being set: their signals wait for runHandlers
  bool localHostGiven_ = false;  // the phone has set lLocalHost
};

}  // namespace orvalis::ui
