#pragma once
// The melodies a new settings file starts with, and that the "Default"
// button of the music tab puts back.

#include <string_view>

namespace orvalis::store {

inline constexpr std::string_view musicDefCallIn =
    "4#c2 4#f1 4e2 4d2 8- 8e2 8d2 8#c2 8b1 8a1 4b1 4#c2 2- 4#c2 4#f1 4e2 4d2 8- 8e2 8d2 "
    "8#c2 8b1 8a1 4b1 4a1 2- 16e2 16#f2 4e2 8d2 8#c2 4b1 16a1 16b1 4#c2 4d2 8- 16#c2 16b1 "
    "4a1 2- 1- 1- 1-  ";
inline constexpr std::string_view musicDefCallOut = "1g1 1- 1-  ";
inline constexpr std::string_view musicDefFind = "4#c2 4e2 4f2 1- 1- ";
inline constexpr std::string_view musicDefMsg = "4e2 4#c2 !";

}  // namespace orvalis::store

namespace orvalis::store {
static_assert(musicDefCallIn.size() == 185);
}  // namespace orvalis::store
