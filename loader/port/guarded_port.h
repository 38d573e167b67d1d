#pragma once
// A serial port that another thread may stop for good while an upload is using it: the window
// program's console close handler runs on a system thread in the middle of an upload.

#include <memory>
#include <mutex>

#include "port/serial_port.h"

namespace kestrup {

class GuardedSerialPort final : public SerialPort {
public:
    explicit GuardedSerialPort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

    PortOpen open(const std::string& device) override;
    void configure() override;
    void setDtr(bool asserted) override;
    void setRts(bool asserted) override;
    void purgeReceive() override;
    std::optional<std::size_t> write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::size_t> read(std::span<std::uint8_t> into) override;
    void close() override;
    bool setBaud(int baud) override;
    bool setStopBits(int stopBits) override;
    void drain() override;

    // From any thread, once, as the process ends: waits for the port operation under way, closes
    // the port and keeps the guard, so the upload's next port operation waits for the end instead
    // of using a closed port. The port must then live until the process is gone.
    void stopForever();

private:
    using Lock = std::lock_guard<std::mutex>;
    std::unique_ptr<SerialPort> port_;
    std::mutex guard_;
};

}  // namespace kestrup
