#include "ui/message_boxes.h"

#include <QMessageBox>

#include <algorithm>

#include "ui/app_title.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

void MessageBoxes::message(std::string_view text) {
  if (trace_) {
    std::string line = "message: " + std::string(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    trace_(line);
  }
  QMessageBox::information(parent_, QString::fromUtf8(appTitle), qtText(text));
}

bool MessageBoxes::confirm(std::string_view title, std::string_view text) {
  return QMessageBox::question(parent_, qtText(title), qtText(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace orvalis::ui
