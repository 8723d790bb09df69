// The dialog's language texts: captions it shows at once, lists it
// rebuilds, and texts it keeps for later prompts, labels and titles.

#include <QSignalBlocker>

#include <utility>

#include "ui/config_dialog.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

namespace {

// The built-in text of every code; 201..204 are the melody names here, their
// radio captions are built in with the controls.
constexpr std::pair<std::int32_t, const char*> builtInTexts[] = {
    {200, "Мелодии."}, {201, "Input call"}, {202, "Output call"},
    {203, "Search of the user"}, {204, "Information"}, {205, "Такт."}, {206, "Громкость."},
    {207, "Load File Music"}, {208, "Edit File Music"}, {210, "Система"}, {211, "Дуплекс"},
    {212, "Полудуплекс"}, {213, "Спикер"}, {214, "Микрофон"}, {215, "Активация передачи"},
    {216, "Постоянно."}, {217, "Кнопкой."}, {218, "Детектором."},
    {219, "Кнопкой и детектором."}, {220, "Детектор активности голоса"}, {221, "Время"},
    {222, "удержания:"}, {223, "Размер голосового пакета :"},
    {224, "Размер накопит. буфера :"}, {225, "Проверка Микрофона"}, {226, "Recording ..."},
    {227, "Recording Ok!"}, {228, "Playing ..."}, {229, "Playing Ok!"},
    {230, "Sound setting have been changed."},
    {231, "Restart sound system to the new setting to take effect."},
    {240, "Call In connections."}, {241, "Save password"},
    {242, "Use Socks5 for Call Out connections."}, {243, "Use dinamically allocated port. "},
    {244, "Use NAT address"}, {260, "Server"}, {261, " Connect to Server"},
    {262, "Not using Firewall"}, {263, "Connect setting have been changed."},
    {264, "Disconnect and reconnect to the new setting to take effect."},
    {265, "Check of an opportunity of access to server."}, {266, "Connection..."},
    {267, "Server is accessible!"}, {268, "Server is inaccessible."}, {270, "Delete user."},
    {271, "You really want to remove"}, {272, "telephone number with server?"},
    {273, "Automatic (NAT-PMP / UPnP, else the server's relay)"},
    {274, "Echo cancellation and noise suppression"},
};

}  // namespace

void TFCnf::loadBuiltInTexts() {
  for (const auto& [code, text] : builtInTexts) setText(code, text);
}

bool TFCnf::setText(std::int32_t code, std::string_view text) {
  if (code < firstCode || code > lastCode) return false;
  texts_[code] = std::string(text);
  applyCaption(code, qtText(text));
  if (code >= phone::ServerTest::txtConnecting && code <= phone::ServerTest::txtInaccessible)
    serverTest_.setText(code, text);
  return true;
}

std::optional<std::string> TFCnf::text(std::int32_t code) const {
  if (code < firstCode || code > lastCode) return std::nullopt;
  return stored(code);
}

std::string TFCnf::stored(std::int32_t code) const {
  const auto it = texts_.find(code);
  return it == texts_.end() ? std::string() : it->second;
}

void TFCnf::applyCaption(std::int32_t code, const QString& text) {
  if (code >= 201 && code <= 204) {
    w_.rbMusic[static_cast<std::size_t>(code - 201)]->setText(text);
    return;
  }
  // The lists are rebuilt item by item as the texts arrive in order; the
  // last item selects the record's value again, without running a handler.
  if (code == 211 || code == 212 || (code >= 216 && code <= 219)) {
    QComboBox* list = code <= 212 ? w_.comboSoundSystem : w_.comboMSA;
    const QSignalBlocker quiet(list);
    if (code == 211 || code == 216) list->clear();
    list->addItem(text);
    if (code == 212) list->setCurrentIndex(phone_.cnfEdit.soundSystem.get());
    if (code == 219) list->setCurrentIndex(phone_.cnfEdit.msa.get());
    return;
  }
  const std::map<std::int32_t, QLabel*> labels = {
      {205, w_.lStep}, {206, w_.lLoudness}, {210, w_.lSoundSystem}, {213, w_.lSoundSpeaker},
      {214, w_.lSoundMic}, {215, w_.lActivationMic}, {221, w_.lTimeDetector},
      {222, w_.lTimeHolding}, {223, w_.lVoicePackage}, {224, w_.lVoiceSpool},
      {240, w_.lCallInConnections}, {265, w_.lCheckServer}};
  const std::map<std::int32_t, QGroupBox*> groups = {{200, w_.gbMusic},
                                                     {220, w_.gbDetectorVoice},
                                                     {225, w_.gbTestMic},
                                                     {260, w_.gbServerAuth},
                                                     {261, w_.gbConnectServerAuth}};
  const std::map<std::int32_t, QAbstractButton*> buttons = {
      {241, w_.cSavePasswd}, {242, w_.cUseSocks5CallOut}, {243, w_.checkDinamicalyPort},
      {244, w_.cUseReDirectCallIn}, {262, w_.rConnect[0]}, {273, w_.cAutoReach},
      {274, w_.cSoundProcessing}};
  if (const auto it = labels.find(code); it != labels.end()) it->second->setText(text);
  if (const auto it = groups.find(code); it != groups.end()) it->second->setTitle(text);
  if (const auto it = buttons.find(code); it != buttons.end()) it->second->setText(text);
}

}  // namespace orvalis::ui
