#pragma once
// The byte layer under the boot-loader protocol: one port, a 256-byte transmit stage written in
// blocks, a 256-byte receive buffer filled without waiting, and reply bits awaited within a
// millisecond budget spent in the pauses of its polling.

#include <array>
#include <cstdint>

#include "base/clock.h"
#include "events/load_events.h"
#include "port/serial_port.h"
#include "rom/upload_timing.h"

namespace kestrup {

enum class ResetLine { dtr, rts };

// What a reply window brought: a bit (0xFE a 0, 0xFF a 1), or nothing before it was spent.
enum class ReplyBit { zero, one, timedOut };

class SerialLink {
public:
    static constexpr std::size_t blockSize = 256;
    static constexpr std::uint8_t clockByte = 0xF9;
    static constexpr std::uint8_t bitZero = 0xFE;
    static constexpr std::uint8_t bitOne = 0xFF;
    SerialLink(SerialPort& port, Clock& clock, LoadEvents& events);

    // Opens and configures the device; nothing is printed when it cannot be opened.
    PortOpen open(const PortAddress& address);
    bool isOpen() const { return open_; }
    void close();

    void setResetLine(ResetLine line) { resetLine_ = line; }
    void setPolling(ReplyPolling polling) { polling_ = polling; }
    // Pulses the reset line, then empties the driver's receive queue and this link's own receive
    // buffer: replies of an earlier exchange must never be taken as replies of the next one. The
    // other modem line is never touched.
    void chipReset(ResetPulse pulse);
    void purgeReceive();

    void stage(std::uint8_t byte);
    // False when the driver did not take every byte.
    bool flush();
    // Flushes, then returns once the driver has put every byte on the line.
    void drain();
    std::uint32_t fill();
    // The next reply bit, or a time-out (told as "Time Out") once the window (milliseconds) is spent.
    ReplyBit replyBit(bool sendClock, std::int32_t windowMs);

    Clock& clock() { return clock_; }

private:
    void pause(int micros);

    SerialPort& port_;
    Clock& clock_;
    LoadEvents& events_;
    ResetLine resetLine_ = ResetLine::dtr;
    ReplyPolling polling_ = UploadTiming::window().polling;
    bool open_ = false;

    std::array<std::uint8_t, blockSize> transmit_{};
    std::int32_t transmitCount_ = 0;
    std::array<std::uint8_t, blockSize> receive_{};
    std::uint32_t receiveCount_ = 0;
    std::int32_t receivePosition_ = 0;
};

}  // namespace kestrup
