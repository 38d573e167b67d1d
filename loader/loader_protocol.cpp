#include "loader_protocol.h"

#include "messages.h"

#include <string>

namespace kestrup {

int Lfsr::step() {
    const int out = state_ & 1;
    const int feedback = ((state_ >> 7) ^ (state_ >> 5) ^ (state_ >> 4) ^ (state_ >> 1)) & 1;
    state_ = static_cast<std::uint8_t>(((state_ << 1) & 0xFE) | feedback);
    return out;
}

std::array<std::uint8_t, bytesPerLong> encodeLong(std::uint32_t value) {
    std::array<std::uint8_t, bytesPerLong> bytes{};
    for (std::size_t k = 0; k < 10; ++k) {
        bytes[k] = static_cast<std::uint8_t>(0x92 | (value & 1) | ((value & 2) << 2) | ((value & 4) << 4));
        value >>= 3;
    }
    bytes[10] = static_cast<std::uint8_t>(0xF2 | (value & 1) | ((value & 2) << 2));
    return bytes;
}

LoaderProtocol::LoaderProtocol(SerialLink& link, StatusSink& status) : link_(link), status_(status) {}

void LoaderProtocol::sendLong(std::uint32_t value) {
    for (const std::uint8_t byte : encodeLong(value)) link_.stage(byte);
}

std::int32_t LoaderProtocol::handshake() {
    Lfsr lfsr;
    link_.stage(SerialLink::clockByte);  // lets the chip measure the bit time
    for (int i = 0; i < handshakeBits; ++i)
        link_.stage(static_cast<std::uint8_t>(lfsr.step() | SerialLink::bitZero));
    for (int i = 0; i < handshakeBits + versionBits; ++i) link_.stage(SerialLink::clockByte);
    // All 509 bytes go out before the first reply is read; the replies wait in the driver.
    link_.flush();

    for (int i = 0; i < handshakeBits; ++i) {
        const int reply = link_.replyBit(false, handshakeBitWindowMs);
        if (reply != lfsr.step()) return -1;
    }

    std::int32_t version = 0;
    for (int i = 0; i < versionBits; ++i) {
        // A time-out (-1) sets bit 7 and above; the arithmetic shifts keep the result negative.
        const std::int32_t bit = link_.replyBit(false, versionBitWindowMs);
        version = (version >> 1) | static_cast<std::int32_t>(static_cast<std::uint32_t>(bit) << 7);
    }
    status_.statusLine(std::string(text::propellerVersion) + std::to_string(version));
    return version;
}

bool LoaderProtocol::imageLoad(std::int32_t byteCount, std::span<const std::uint32_t> image) {
    sendLong(static_cast<std::uint32_t>(Command::loadRun));
    link_.flush();
    const std::int32_t longCount = byteCount >> 2;
    sendLong(static_cast<std::uint32_t>(longCount));
    link_.flush();
    status_.statusLine(std::string(text::writeInRam) + std::to_string(byteCount));

    for (std::int32_t i = 0; i < longCount && static_cast<std::size_t>(i) < image.size(); ++i)
        sendLong(image[static_cast<std::size_t>(i)]);
    link_.flush();
    status_.statusLine(text::verify);

    const bool acknowledged = link_.replyBit(true, acknowledgeWindowMs) == 0;
    status_.statusLine(acknowledged ? text::okRun : text::checksumError);
    return acknowledged;
}

}  // namespace kestrup
