// The language menu and the window's language texts.

#include "store/data_dirs.h"
#include "store/language_file.h"
#include "ui/client.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

void TFClient::fillLanguageMenu() {
  const auto entries =
      store::listLanguageDir(store::dataDirFor(utf8Text(appDir_), store::languageDirName));
  // Without the directory the built-in texts stay.
  if (!entries) return;
  const std::vector<std::string> captions = store::languageCaptions(*entries);
  for (std::size_t k = 0; k < captions.size() && k < menu_.languages.size(); ++k) {
    menu_.languages[k]->setText(qtText(captions[k]));
    menu_.languages[k]->setVisible(true);
  }
  selectLanguage(qtText(phone_->cnf.language.str()));
}

void TFClient::selectLanguage(const QString& caption) {
  bool found = false;
  for (QAction* entry : menu_.languages) {
    const bool match = entry->isVisible() && entry->text() == caption;
    entry->setChecked(match);
    found = found || match;
  }
  if (!found) return;
  const std::string text = utf8Text(caption);
  for (store::CnfData* rec : {&phone_->cnf, &phone_->cnfEdit}) rec->language.clear();
  // The field holds 99 bytes; a longer caption is not stored, nor applied.
  if (text.size() < 2 || text.size() > 99) return;
  for (store::CnfData* rec : {&phone_->cnf, &phone_->cnfEdit}) rec->language.set(text);
  applyLanguage();
}

void TFClient::applyLanguage() {
  store::applyLanguageFile(store::dataDirFor(utf8Text(appDir_), store::languageDirName),
                           phone_->cnf.language.str(),
                           [this](std::int32_t code, std::string_view text) {
                             setText(code, text);
                             phone_->setText(code, text);
                             config_->setText(code, text);
                             // The delete-user box is the configuration dialog's.
                             actions_->setText(code, text);
                             registration_->setText(code, text);
                             passwd_->setText(code, text);
                             dialogs_->setText(code, text);
                           });
}

void TFClient::languageChosen(QAction* entry) {
  selectLanguage(entry->text());
  phone_->config.save();
}

void TFClient::setText(std::int32_t code, std::string_view text) {
  if (!texts_.set(code, text)) return;
  menu_.applyTexts(texts_);
  tray_->open->setText(qtText(texts_.menuText(txtOpenWindow)));
  tray_->shutDown->setText(qtText(texts_.menuText(txtShutDown)));
  // New captions appear on the buttons at once.
  loadSkins();
}

}  // namespace orvalis::ui
