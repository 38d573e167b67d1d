#include "serial_link.h"

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

void SerialLink::flush() {
    if (transmitCount_ <= 0) return;
    const auto staged = static_cast<std::size_t>(transmitCount_);
    // Unwritten bytes are dropped, not retried: the chip's replies tell the protocol what was lost.
    transmitCount_ = 0;
    const auto written = port_.write(std::span<const std::uint8_t>(transmit_.data(), staged));
    if (!written)
        events_.on(LinkFault::unableToWrite);
    else if (*written < staged)
        events_.on(LinkFault::transmitStall);
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

int SerialLink::replyBit(bool sendClock, std::int32_t windowMs) {
    for (;;) {
        if (windowMs <= 0) {
            events_.on(LinkFault::timeOut);
            return -1;
        }
        if (sendClock) {
            stage(clockByte);
            flush();
            clock_.pause(polling_.clockPauseMs);
            windowMs -= polling_.clockPauseMs;
        }
        if (static_cast<std::uint32_t>(receivePosition_) == receiveCount_) {
            // What this fill brings is looked at from the next poll on.
            fill();
        } else {
            const std::uint8_t byte = receive_[static_cast<std::size_t>(receivePosition_)];
            ++receivePosition_;
            if (byte == bitZero) return 0;
            if (byte == bitOne) return 1;
            events_.on(LinkFault::hardwareLost);
        }
        clock_.pause(polling_.pollPauseMs);
        windowMs -= polling_.pollPauseMs;
    }
}

}  // namespace kestrup
