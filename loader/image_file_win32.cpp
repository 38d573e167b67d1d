#include "image_file.h"

#include <windows.h>

namespace kestrup {
namespace {

class Win32File final : public ByteSource {
public:
    explicit Win32File(HANDLE handle) : handle_(handle) {}
    ~Win32File() override { CloseHandle(handle_); }
    Win32File(const Win32File&) = delete;
    Win32File& operator=(const Win32File&) = delete;

    std::size_t read(std::span<std::uint8_t> into) override {
        DWORD got = 0;
        // A read error ends the file, as its end does.
        if (!ReadFile(handle_, into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) return 0;
        return got;
    }

private:
    HANDLE handle_;
};

}  // namespace

std::unique_ptr<ByteSource> openImageFile(const std::string& path) {
    // Readers may share the file, a writer may not: an image still being written is not loaded.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32File>(handle);
}

}  // namespace kestrup
