#include "serial_port.h"

#include <cstddef>
#include <cstring>

#include <windows.h>

namespace kestrup {
namespace {

class Win32SerialPort final : public SerialPort {
public:
    ~Win32SerialPort() override { close(); }

    bool open(const std::string& device) override {
        close();
        HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        handle_ = handle;
        return true;
    }

    void configure() override {
        SetupComm(handle_, 4096, 1024);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = TWOSTOPBITS;
        // The flag bits as one word: fBinary and fDtrControl = DTR_CONTROL_ENABLE, nothing else
        // (no flow control of any kind, RTS released).
        setFlagWord(dcb, 0x11);
        SetCommState(handle_, &dcb);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;  // with the rest 0: reads return at once
        SetCommTimeouts(handle_, &timeouts);
    }

    void setDtr(bool asserted) override { EscapeCommFunction(handle_, asserted ? SETDTR : CLRDTR); }
    void setRts(bool asserted) override { EscapeCommFunction(handle_, asserted ? SETRTS : CLRRTS); }
    void purgeReceive() override { PurgeComm(handle_, PURGE_RXCLEAR); }

    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override {
        DWORD written = 0;
        if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return std::nullopt;
        return written;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
        DWORD got = 0;
        if (!ReadFile(handle_, into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) return std::nullopt;
        return got;
    }

    void close() override {
        if (handle_ != nullptr) CloseHandle(handle_);
        handle_ = nullptr;
    }

    bool setBaud(int baud) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_, &dcb)) return false;
        dcb.BaudRate = static_cast<DWORD>(baud);
        return SetCommState(handle_, &dcb) != 0;
    }

    void drain() override { FlushFileBuffers(handle_); }

private:
    static void setFlagWord(DCB& dcb, DWORD flags) {
        // The bit-fields fBinary..fDummy2 share the 32-bit word that follows BaudRate.
        auto* base = reinterpret_cast<unsigned char*>(&dcb);
        constexpr std::size_t offset = offsetof(DCB, BaudRate) + sizeof(DWORD);
        static_assert(sizeof(DCB) >= offset + sizeof(DWORD));
        std::memcpy(base + offset, &flags, sizeof flags);
    }

    HANDLE handle_ = nullptr;
};

}  // namespace

std::string comDeviceName(std::int32_t comNumber) { return "\\\\.\\COM" + std::to_string(comNumber); }

std::unique_ptr<SerialPort> makeSystemSerialPort() { return std::make_unique<Win32SerialPort>(); }

}  // namespace kestrup
