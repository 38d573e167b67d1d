#include <windows.h>

#include "base/unique_handle_win32.h"
#include "image/image_file.h"

namespace kestrup {
namespace {

std::size_t readSome(HANDLE file, std::span<std::uint8_t> into) {
    DWORD got = 0;
    // A read error ends the file, as its end does.
    if (!ReadFile(file, into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) return 0;
    return got;
}

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    // Readers may share the file, a writer may not: an image still being written is not loaded.
    UniqueFileHandle handle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return nullptr;
    return owningSource(std::move(handle), readSome);
}

}  // namespace kestrup
