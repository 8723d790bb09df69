#include "ui/registration_form.h"

#include "phone/account_fields.h"
#include "ui/byte_limit_validator.h"
#include "ui/qt_text.h"
#include "ui/skin_images.h"

namespace orvalis::ui {

namespace {

using Model = phone::RegistrationDialog;

constexpr int maxNumberLength = 9;

template <typename W>
W* placed(W* widget, int x, int y, int w = 0, int h = 0) {
  if (w > 0) {
    widget->setGeometry(x, y, w, h);
  } else {
    widget->move(x, y);
    widget->adjustSize();
  }
  return widget;
}

// Puts the filtered text back when the filter changed what was typed or
// pasted, keeping the cursor where it was relative to the end.
void showFiltered(QLineEdit* edit, const std::string& kept) {
  const QString text = qtText(kept);
  if (edit->text() == text) return;
  const int fromEnd = static_cast<int>(edit->text().size()) - edit->cursorPosition();
  edit->setText(text);
  edit->setCursorPosition(std::max(0, static_cast<int>(text.size()) - fromEnd));
}

}  // namespace

RegistrationForm::RegistrationForm(Model& model, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      model_(model),
      numberLabel_(placed(new QLabel(this), 0, 8)),
      number_(placed(new QLineEdit(this), 112, 0, 121, 21)),
      passwd1Label_(placed(new QLabel(this), 16, 48)),
      passwd1_(placed(new QLineEdit(this), 112, 40, 121, 21)),
      passwd2Label_(placed(new QLabel(this), 8, 72)),
      passwd2_(placed(new QLineEdit(this), 112, 64, 121, 21)),
      save_(placed(new QCheckBox(this), 111, 92, 122, 14)),
      clear_(placed(new QPushButton(this), 228, 89, 75, 25)),
      status_(placed(new QLabel(this), 10, 112, 210, 14)),
      group_(placed(new QGroupBox(this), 8, 127, 209, 44)),
      addNew_(placed(new QPushButton(group_), 9, 13, 82, 25)),
      addExists_(placed(new QPushButton(group_), 113, 13, 82, 25)),
      cancel_(placed(new QPushButton(QStringLiteral("Cancel"), this), 228, 139, 75, 25)) {
  setObjectName(QStringLiteral("FRegistration"));
  setWindowTitle(QStringLiteral("Registration"));
  setFont(skinFont());
  setModal(true);
  move(403, 120);
  number_->setMaxLength(maxNumberLength);
  for (QLineEdit* edit : {passwd1_, passwd2_}) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setMaxLength(static_cast<int>(phone::maxPasswdLength));
    edit->setValidator(
        new ByteLimitValidator(phone::maxPasswdLength, ByteLimitValidator::Spaces::allowed, edit));
  }
  applyTexts();
  setFixedSize(childrenRect().right() + 8, childrenRect().bottom() + 8);

  connect(number_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setNumberText(utf8Text(text));
    showFiltered(number_, model_.numberText());
  });
  connect(passwd1_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setPasswd1(utf8Text(text));
    showFiltered(passwd1_, model_.passwd1());
  });
  connect(passwd2_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setPasswd2(utf8Text(text));
    showFiltered(passwd2_, model_.passwd2());
  });
  connect(save_, &QCheckBox::clicked, this, [this](bool ticked) { model_.setSavePasswd(ticked); });
  connect(clear_, &QPushButton::clicked, this, &RegistrationForm::clearClicked);
  connect(addNew_, &QPushButton::clicked, this, &RegistrationForm::addNewClicked);
  connect(addExists_, &QPushButton::clicked, this, &RegistrationForm::addExistsClicked);
  connect(cancel_, &QPushButton::clicked, this, &RegistrationForm::cancelClicked);

  timer_.setInterval(pollPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &RegistrationForm::timerFired);
}

void RegistrationForm::setText(std::int32_t code, std::string_view text) {
  if (model_.setText(code, text)) applyTexts();
}

void RegistrationForm::applyTexts() {
  auto caption = [this](Model::Code code) { return qtText(model_.text(code)); };
  for (auto [label, code] : {std::pair{numberLabel_, Model::capNumber},
                             std::pair{passwd1Label_, Model::capPasswd},
                             std::pair{passwd2Label_, Model::capRepeat}}) {
    label->setText(caption(code));
    label->adjustSize();
  }
  save_->setText(caption(Model::capSavePasswd));
  group_->setTitle(caption(Model::capGroup));
  addNew_->setText(caption(Model::capNew));
  addExists_->setText(caption(Model::capExists));
  clear_->setText(caption(Model::capClear));
}

void RegistrationForm::runModal() {
  if (!model_.open()) model_.formShow();
  exec();
}

void RegistrationForm::showEvent(QShowEvent* event) {
  if (!model_.open()) model_.formShow();
  save_->setChecked(model_.regSavePasswd);
  sync();
  timer_.start();
  QDialog::showEvent(event);
}

void RegistrationForm::hideEvent(QHideEvent* event) {
  timer_.stop();
  model_.formClose();
  QDialog::hideEvent(event);
}

void RegistrationForm::clearClicked() {
  model_.clearClick();
  sync();
}

void RegistrationForm::addNewClicked() {
  model_.addNewClick();
  sync();
}

void RegistrationForm::addExistsClicked() {
  model_.addExistsClick();
  sync();
}

void RegistrationForm::cancelClicked() {
  model_.cancelClick();
  sync();
}

void RegistrationForm::timerFired() {
  model_.timer1();
  sync();
}

void RegistrationForm::sync() {
  showFiltered(number_, model_.numberText());
  showFiltered(passwd1_, model_.passwd1());
  showFiltered(passwd2_, model_.passwd2());
  // The save box stays usable while a request is out.
  const bool idle = !model_.busy();
  for (QWidget* w : std::initializer_list<QWidget*>{clear_, addNew_, addExists_, cancel_, number_,
                                                    passwd1_, passwd2_})
    w->setEnabled(idle);
  status_->setText(qtText(model_.statusLine()));
  if (!model_.open() && isVisible())
    done(model_.regResult != phone::RegResult::none ? Accepted : Rejected);
}

}  // namespace orvalis::ui
