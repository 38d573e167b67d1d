#include <windows.h>

#include "base/unique_handle_win32.h"
#include "image/image_file.h"

namespace kestrup {
namespace {

std::string systemText(DWORD error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string words(text, length);
    // The system ends its words with a full stop and a line break; the line they go into has its own end.
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
    return words.empty() ? "error " + std::to_string(error) : words;
}

ReadSome readSome(HANDLE file, std::span<std::uint8_t> into) {
    DWORD got = 0;
    if (!ReadFile(file, into.data(), static_cast<DWORD>(into.size()), &got, nullptr))
        return ReadSome::failed(systemText(GetLastError()));
    return {got, std::nullopt};
}

std::optional<std::uintmax_t> sizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) return std::nullopt;
    return static_cast<std::uintmax_t>(size.QuadPart);
}

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    // Readers may share the file, a writer may not: an image still being written is not loaded.
    UniqueFileHandle handle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return nullptr;
    return owningSource(std::move(handle), readSome, sizeOf);
}

}  // namespace kestrup
