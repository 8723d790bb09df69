// The buttons of the "Music Msg" tab, the microphone test and the server
// test.

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QUrl>

#include <array>

#include "ui/config_dialog.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

namespace {

constexpr char melodyFilter[] = "*.txt";

}  // namespace

std::string TFCnf::melodyName(std::int32_t slot) const {
  return slot >= 0 && slot <= 3 ? stored(201 + slot) : std::string();
}

void TFCnf::playMelody() {
  // Any slot beyond the first three plays the information melody.
  const std::int32_t sel = phone_.cnfEdit.musicSel;
  const std::int32_t slot = sel >= 0 && sel <= 2 ? sel : 3;
  phone_.audio().setMelody(phone_.cnf.melody(slot)->str());
  phone_.audio().startMelody();
}

void TFCnf::stopMelody() { phone_.audio().stopMelody(); }

void TFCnf::defaultMelody() { phone_.config.setDefaultMelody(phone_.cnf.musicSel); }

void TFCnf::chooseMelodyFile() {
  const QString title = qtText(stored(207) + melodyName(phone_.cnf.musicSel));
  const QString path = QFileDialog::getOpenFileName(this, title, qtText(phone_.config.musicDir),
                                                    QString::fromLatin1(melodyFilter));
  if (!path.isEmpty()) loadMelodyFile(path);
}

bool TFCnf::loadMelodyFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  // The slot keeps a final zero: its text ends within the field.
  std::array<std::uint8_t, store::melodySize> bytes{};
  const qint64 got = file.read(reinterpret_cast<char*>(bytes.data()),
                               static_cast<qint64>(melodyFileLimit));
  if (got < 0) return false;
  const std::int32_t slot = phone_.cnf.musicSel;
  if (phone_.cnf.melody(slot) == nullptr) return true;
  both([&](store::CnfData& r) { r.melody(slot)->fromBytes(bytes); });
  return true;
}

void TFCnf::editMelodyFile() {
  const QString path = QFileDialog::getOpenFileName(
      this, qtText(stored(208)), qtText(phone_.config.musicDir), QString::fromLatin1(melodyFilter));
  // The user's own editor opens it; nothing is read back.
  if (!path.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void TFCnf::startMicTest() { phone_.startMicTest(); }

void TFCnf::stopMicTest() { phone_.stopMicTest(); }

void TFCnf::testServer() {
  serverTest_.start();
  w_.bTestServer->setEnabled(serverTest_.buttonEnabled());
}

}  // namespace orvalis::ui
