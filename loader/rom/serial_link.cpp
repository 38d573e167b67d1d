#include "rom/serial_link.h"

#include <algorithm>

namespace kestrup {

SerialLink::SerialLink(SerialPort& port, Clock& clock, LoadEvents& events)
    : port_(port), clock_(clock), events_(events) {}

PortOpen SerialLink::open(const PortAddress& address) {
    PortOpen result = port_.open(address.deviceName());
    open_ = static_cast<bool>(result);
    if (open_) port_.configure();
    return result;
}

void SerialLink::close() {
    if (open_) port_.close();
    open_ = false;
}

void SerialLink::chipReset(ResetPulse pulse) {
    auto line = [this](bool asserted) {
        if (resetLine_ == ResetLine::dtr)
            port_.setDtr(asserted);
        else
            port_.setRts(asserted);
    };
    line(true);
    clock_.pause(pulse.pulseMs);
    line(false);
    clock_.pause(pulse.waitMs);
    purgeReceive();
}

void SerialLink::purgeReceive() {
    port_.purgeReceive();
    receiveCount_ = 0;
    receivePosition_ = 0;
}

void SerialLink::stage(std::uint8_t byte) {
    transmit_[static_cast<std::size_t>(transmitCount_)] = byte;
    ++transmitCount_;
    if (transmitCount_ >= static_cast<std::int32_t>(blockSize)) flush();
}

bool SerialLink::flush() {
    if (transmitCount_ <= 0) return true;
    const auto staged = static_cast<std::size_t>(transmitCount_);
    // Unwritten bytes are dropped, not retried: the chip's replies tell the protocol what was lost.
    transmitCount_ = 0;
    const auto written = port_.write(std::span<const std::uint8_t>(transmit_.data(), staged));
    if (!written)
        events_.on(LinkFault::unableToWrite);
    else if (*written < staged)
        events_.on(LinkFault::transmitStall);
    return written && *written == staged;
}

void SerialLink::drain() {
    flush();
    port_.drain();
}

std::uint32_t SerialLink::fill() {
    receivePosition_ = 0;
    receiveCount_ = 0;
    const auto got = port_.read(std::span<std::uint8_t>(receive_.data(), receive_.size()));
    if (!got)
        events_.on(LinkFault::unableToRead);
    else
        receiveCount_ = static_cast<std::uint32_t>(*got < blockSize ? *got : blockSize);
    return receiveCount_;
}

void SerialLink::pause(int micros) {
    // Whole milliseconds go to the clock as such, a fraction of one as microseconds.
    if (micros % 1000 == 0)
        clock_.pause(micros / 1000);
    else
        clock_.pauseMicros(micros);
}

ReplyBit SerialLink::replyBit(bool sendClock, std::int32_t windowMs) {
    std::int64_t windowMicros = std::int64_t{windowMs} * 1000;
    // Once a write fails or a stray byte comes, a millisecond at least between polls: each tells its
    // line, and a pulled board or a noisy line would have one every tenth of a millisecond.
    ReplyPolling polling = polling_;
    const auto slowDown = [&polling] {
        polling = {std::max(polling.clockPauseMicros, 1000), std::max(polling.pollPauseMicros, 1000)};
    };
    for (;;) {
        if (windowMicros <= 0) {
            events_.on(LinkFault::timeOut);
            return ReplyBit::timedOut;
        }
        if (sendClock) {
            stage(clockByte);
            if (!flush()) slowDown();
            pause(polling.clockPauseMicros);
            windowMicros -= polling.clockPauseMicros;
        }
        if (static_cast<std::uint32_t>(receivePosition_) == receiveCount_) {
            // What this fill brings is looked at from the next poll on.
            fill();
        } else {
            const std::uint8_t byte = receive_[static_cast<std::size_t>(receivePosition_)];
            ++receivePosition_;
            if (byte == bitZero) return ReplyBit::zero;
            if (byte == bitOne) return ReplyBit::one;
            events_.on(LinkFault::hardwareLost);
            slowDown();
        }
        pause(polling.pollPauseMicros);
        windowMicros -= polling.pollPauseMicros;
    }
}

}  // namespace kestrup
