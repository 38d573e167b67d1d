#include "settings_storage_win32.h"

#include <windows.h>

#include <vector>

#include "base/unique_handle_win32.h"

namespace kestrup::app {
namespace {

// ANSI paths as the program builds them, widened so that a folder deeper than MAX_PATH still
// works: such paths take the \\?\ form, which passes them to the file system unparsed.
std::wstring widePath(const std::string& path) {
    const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
    if (wide.size() < MAX_PATH || wide.starts_with(L"\\\\?\\")) return wide;
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    if (wide.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + wide.substr(2);
    return L"\\\\?\\" + wide;
}

}  // namespace

std::optional<std::string> Win32SettingsStorage::read(const std::string& path) {
    UniqueFileHandle file(CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return std::nullopt;
    std::string bytes;
    std::vector<char> chunk(65536);
    DWORD got = 0;
    // A read error ends the file there, as its end would.
    while (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got > 0)
        bytes.append(chunk.data(), got);
    return bytes;
}

bool Win32SettingsStorage::writeWhole(const std::string& path, std::string_view bytes) {
    UniqueFileHandle file(CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    // On the disk before it replaces the old file, or a crash could leave an empty one in its place.
    if (!FlushFileBuffers(file.get())) return false;
    // On some file systems a delayed write fails only at the close.
    return file.close();
}

bool Win32SettingsStorage::replace(const std::string& source, const std::string& target) {
    return MoveFileExW(widePath(source).c_str(), widePath(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void Win32SettingsStorage::remove(const std::string& path) {
    DeleteFileW(widePath(path).c_str());
}

}  // namespace kestrup::app
