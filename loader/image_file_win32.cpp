#include "image_file.h"

#include "unique_handle_win32.h"

#include <windows.h>

namespace kestrup {
namespace {

class Win32File final : public ByteSource {
public:
    explicit Win32File(UniqueFileHandle handle) : handle_(std::move(handle)) {}

    std::size_t read(std::span<std::uint8_t> into) override {
        DWORD got = 0;
        // A read error ends the file, as its end does.
        if (!ReadFile(handle_.get(), into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) return 0;
        return got;
    }

private:
    UniqueFileHandle handle_;
};

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    // Readers may share the file, a writer may not: an image still being written is not loaded.
    UniqueFileHandle handle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return nullptr;
    return std::make_unique<Win32File>(std::move(handle));
}

}  // namespace kestrup
