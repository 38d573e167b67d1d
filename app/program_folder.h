#pragma once
// The folder the program runs from, where the settings file and the compiled image lie.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrup::app {

// The path up to and including its last backslash or slash; empty when it has neither.
std::string folderOf(std::string_view path);

// Asks a GetModuleFileName-like function (fills the buffer, returns the length, or the buffer's
// size when the path was cut, or 0 on failure) with ever larger buffers until the whole path fits.
// Nothing when it fails or the path exceeds maxLength: a cut path would name another folder.
std::optional<std::string> wholePath(const std::function<std::size_t(char*, std::size_t)>& query,
                                     std::size_t maxLength = 32767);

}  // namespace kestrup::app
