#pragma once
// A serial port that writes down every byte that passes, with time stamps: for finding out why a
// board will not load.

#include <cstdio>
#include <string>

#include "base/clock.h"
#include "port/serial_port.h"

namespace kestrup {

class TracingPort final : public SerialPort {
public:
    // Lines go to `out` (kept open by the caller), stamped in seconds since the first event and
    // led by the label, if any.
    TracingPort(SerialPort& inner, Clock& clock, std::FILE* out, std::string label = {});

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

private:
    void line(const char* what, std::span<const std::uint8_t> bytes = {});

    SerialPort& inner_;
    Clock& clock_;
    std::FILE* out_;
    std::string label_;
    std::int64_t start_ = -1;
    std::int64_t lastEmptyRead_ = -1;  // quiet polls are summed up, not listed one by one
    int emptyReads_ = 0;
};

}  // namespace kestrup
