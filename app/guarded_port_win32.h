#pragma once
// The window program's serial port: the console's close handler stops it from a system thread
// while an upload may be using it on the main thread.

#include "serial_port.h"

#include <memory>

#include <windows.h>

namespace kestrup::app {

class GuardedSerialPort final : public SerialPort {
public:
    explicit GuardedSerialPort(std::unique_ptr<SerialPort> port);
    ~GuardedSerialPort() override;
    GuardedSerialPort(const GuardedSerialPort&) = delete;
    GuardedSerialPort& operator=(const GuardedSerialPort&) = delete;

    bool open(const std::string& device) override;
    void configure() override;
    void setDtr(bool asserted) override;
    void setRts(bool asserted) override;
    void purgeReceive() override;
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
    void close() override;
    bool setBaud(int baud) override;
    void drain() override;

    // From any thread, once, as the process ends: waits for the port operation under way, closes
    // the port and keeps the guard, so the upload's next port operation waits for the end instead
    // of using a closed handle.
    void stopForever();

private:
    class Lock;
    std::unique_ptr<SerialPort> port_;
    CRITICAL_SECTION guard_;
};

}  // namespace kestrup::app
