#pragma once
// Texts cross between the phone's UTF-8 strings and Qt's strings here.

#include <QString>

#include <string>
#include <string_view>

namespace orvalis::ui {

inline QString qtText(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

inline std::string utf8Text(const QString& s) { return s.toUtf8().toStdString(); }

}  // namespace orvalis::ui
