#pragma once
// The base directory holding a data sub-directory ("Skins", "icons", ...):
// the phone's own directory first, then the installed data.

#include <QString>
#include <string_view>

#include "store/data_dirs.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

inline QString dataDirFor(const QString& appDir, std::string_view sub) {
  return qtText(store::dataDirFor(utf8Text(appDir), sub));
}

}  // namespace orvalis::ui
