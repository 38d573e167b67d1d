#pragma once
// The one door between the loader and a serial device. Backends: serial_port_win32.cpp,
// serial_port_posix.cpp; tests use scripted fakes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace kestrup {

// Why a device did not open, told apart so that every command can say which.
enum class OpenFailure { missing, busy, notSerialPort, notAllowed, settingRefused, other };

// What opening a device came to: open, or the failure and the system's own words for it.
struct PortOpen {
    std::optional<OpenFailure> failure;
    std::string detail;  // the system's text, or the platform's hint for `notAllowed`

    static PortOpen opened() { return {}; }
    static PortOpen failed(OpenFailure why, std::string systemText = {}) { return {why, std::move(systemText)}; }
    explicit operator bool() const { return !failure; }
};

// The end of a sentence led by the port's name, the same for every command: "is busy (another
// program has it open)", with the system's words or the platform's hint where there are some.
std::string whyNotOpened(const PortOpen& result);

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the device for exclusive, synchronous use, or tells why it did not.
    virtual PortOpen open(const std::string& device) = 0;
    // 115200 baud, 8 data bits, no parity, two stop bits, no flow control, and reads that return
    // at once with whatever has arrived. DTR and RTS are left as they are: the loader pulses the
    // one that resets the board, and the other may hold a board in reset. Failures are ignored:
    // the port is then used with whatever settings it has.
    virtual void configure() = 0;
    virtual void setDtr(bool asserted) = 0;
    virtual void setRts(bool asserted) = 0;
    // Discards what the driver has received and the program has not read.
    virtual void purgeReceive() = 0;
    // Blocks until written; the number of bytes written, or nothing when the write failed.
    virtual std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) = 0;
    // Returns at once with what has arrived (possibly 0 bytes), or nothing when the read failed.
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> into) = 0;
    virtual void close() = 0;
    // Sets the line rate, any whole number of baud the driver can make; false when it refuses.
    virtual bool setBaud(int baud) = 0;
    // One stop bit or two, the rate kept; false when the driver refuses.
    virtual bool setStopBits(int stopBits) = 0;
    // Blocks until the driver has put every byte written so far on the line.
    virtual void drain() = 0;
};

// The device behind a COM port number on this platform ("\\.\COM7" on Windows).
std::string comDeviceName(std::int32_t comNumber);

// A serial port of this platform's own kind.
std::unique_ptr<SerialPort> makeSystemSerialPort();

// Where an upload goes: a COM port number as typed in a COM field, or a device path.
struct PortAddress {
    std::optional<std::int32_t> comNumber;
    std::string devicePath;

    static PortAddress com(std::int32_t n) { return PortAddress{n, {}}; }
    static PortAddress device(std::string path) { return PortAddress{std::nullopt, std::move(path)}; }

    std::string deviceName() const { return comNumber ? comDeviceName(*comNumber) : devicePath; }
    // How the user names it: "Com7", or the device path.
    std::string displayName() const { return comNumber ? "Com" + std::to_string(*comNumber) : devicePath; }
};

}  // namespace kestrup
