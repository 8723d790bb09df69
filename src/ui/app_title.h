#pragma once
// The application's title: the taskbar's and every message box's caption.

namespace orvalis::ui {

inline constexpr char appTitle[] = "Orvalis 2.0.1 betta";

}  // namespace orvalis::ui
