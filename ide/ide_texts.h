#pragma once
// Every text the IDE automation searches for or shows, byte for byte.

#include <string_view>

namespace kestrup::text {

inline constexpr std::string_view ideTitle = "Propeller Tool";
// With a file open the IDE's title goes on after this, so it is searched for anywhere in a title.
inline constexpr std::string_view ideTitleWithFile = "Propeller Tool -";
inline constexpr std::string_view terminalTitle = "Tavlund";

inline constexpr std::string_view ideMissingCaption = "Error";
inline constexpr std::string_view ideMissing = "Propeller IDE not found";

}  // namespace kestrup::text
