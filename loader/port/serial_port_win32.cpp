#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "base/unique_handle_win32.h"
#include "port/serial_port.h"

namespace kestrup {
namespace {

std::string systemText(DWORD error) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    return reason;
}

class Win32SerialPort final : public SerialPort {
public:
    PortOpen open(const std::string& device) override {
        handle_.reset(CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle_.valid()) {
            // A COM port that another program holds is "access denied".
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                return PortOpen::failed(OpenFailure::busy);
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return PortOpen::failed(OpenFailure::missing);
            return PortOpen::failed(OpenFailure::other, systemText(error));
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetFileType(handle_.get()) != FILE_TYPE_CHAR) {
            handle_.reset();
            return PortOpen::failed(OpenFailure::notSerialPort);
        }
        if (!GetCommState(handle_.get(), &dcb)) {
            const DWORD error = GetLastError();
            handle_.reset();
            return PortOpen::failed(OpenFailure::settingRefused, systemText(error));
        }
        return PortOpen::opened();
    }

    void configure() override {
        SetupComm(handle_.get(), 4096, 1024);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_.get(), &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = TWOSTOPBITS;
        // The flag bits as one word: fBinary, no flow control of any kind, and DTR and RTS as the
        // driver has them; a line the driver ran as a handshake is simply asserted, as after opening.
        const DWORD found = flagWord(dcb);
        const DWORD dtr = ((found >> 4) & 3) == DTR_CONTROL_DISABLE ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
        const DWORD rts = ((found >> 12) & 3) == RTS_CONTROL_DISABLE ? RTS_CONTROL_DISABLE : RTS_CONTROL_ENABLE;
        setFlagWord(dcb, 0x01 | dtr << 4 | rts << 12);
        SetCommState(handle_.get(), &dcb);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;  // with the rest 0: reads return at once
        SetCommTimeouts(handle_.get(), &timeouts);
    }

    void setDtr(bool asserted) override { EscapeCommFunction(handle_.get(), asserted ? SETDTR : CLRDTR); }
    void setRts(bool asserted) override { EscapeCommFunction(handle_.get(), asserted ? SETRTS : CLRRTS); }
    void purgeReceive() override { PurgeComm(handle_.get(), PURGE_RXCLEAR); }

    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override {
        DWORD written = 0;
        if (!WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return std::nullopt;
        return written;
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
        DWORD got = 0;
        if (!ReadFile(handle_.get(), into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) return std::nullopt;
        return got;
    }

    void close() override { handle_.reset(); }

    bool setBaud(int baud) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_.get(), &dcb)) return false;
        DCB was = dcb;
        dcb.BaudRate = static_cast<DWORD>(baud);
        if (!SetCommState(handle_.get(), &dcb)) return false;
        // A driver may take a rate it does not make and run at another (Wine puts a rate it has no
        // constant for at 38400): read back, such a rate is refused as plainly as one it rejects,
        // and the line goes back to the rate it had.
        DCB made{};
        made.DCBlength = sizeof made;
        if (GetCommState(handle_.get(), &made) && made.BaudRate == dcb.BaudRate) return true;
        SetCommState(handle_.get(), &was);
        return false;
    }

    bool setStopBits(int stopBits) override {
        if (stopBits != 1 && stopBits != 2) return false;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(handle_.get(), &dcb)) return false;
        dcb.StopBits = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
        return SetCommState(handle_.get(), &dcb) != 0;
    }

    void drain() override { FlushFileBuffers(handle_.get()); }

private:
    // The bit-fields fBinary..fDummy2 share the 32-bit word that follows BaudRate.
    static constexpr std::size_t flagOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
    static_assert(sizeof(DCB) >= flagOffset + sizeof(DWORD));

    static DWORD flagWord(const DCB& dcb) {
        DWORD flags = 0;
        std::memcpy(&flags, reinterpret_cast<const unsigned char*>(&dcb) + flagOffset, sizeof flags);
        return flags;
    }
    static void setFlagWord(DCB& dcb, DWORD flags) {
        std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + flagOffset, &flags, sizeof flags);
    }

    UniqueFileHandle handle_;
};

}  // namespace

std::string comDeviceName(std::int32_t comNumber) {
    return "\\\\.\\COM" + std::to_string(comNumber);
}

std::unique_ptr<SerialPort> makeSystemSerialPort() {
    return std::make_unique<Win32SerialPort>();
}

}  // namespace kestrup
