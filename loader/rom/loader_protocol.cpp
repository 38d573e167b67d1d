#include "rom/loader_protocol.h"

#include <algorithm>

#include "rom/dense_encoding.h"

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

LoaderProtocol::LoaderProtocol(SerialLink& link, LoadEvents& events) : link_(link), teller_(events, link.clock()) {}

void LoaderProtocol::sendLong(std::uint32_t value) {
    for (const std::uint8_t byte : encodeLong(value)) link_.stage(byte);
}

void LoaderProtocol::shutDownChip() {
    sendLong(static_cast<std::uint32_t>(Command::shutdown));
    link_.flush();
}

HandshakeResult LoaderProtocol::handshake(HandshakeBits bits) {
    return readHandshake(sendHandshake(bits));
}

BootResult LoaderProtocol::boot(HandshakeBits bits, std::span<const std::uint32_t> program) {
    const Lfsr replies = sendHandshake(bits);
    const auto byteCount = static_cast<std::int32_t>(program.size() * 4);
    sendHead(Command::loadRun, byteCount);
    sendLongs(program);
    link_.flush();
    BootResult result{readHandshake(replies)};
    if (!result.handshake.isChip()) {
        // Still on its way, the program would meet the next reset's handshake.
        link_.drain();
        return result;
    }
    teller_.writing(byteCount, LoadTarget::ram);
    teller_.verifying();
    result.program = acknowledgement(acknowledgeWindowMs);
    teller_.ramVerdict(result.program == Acknowledgement::accepted);
    return result;
}

Lfsr LoaderProtocol::sendHandshake(HandshakeBits bits) {
    Lfsr lfsr;
    link_.stage(SerialLink::clockByte);  // lets the chip measure the bit time
    if (bits == HandshakeBits::onePerByte) {
        for (int i = 0; i < handshakeBits; ++i)
            link_.stage(static_cast<std::uint8_t>(lfsr.step() | SerialLink::bitZero));
    } else {
        // A byte's bits at 0, 3 and 6, as encodeLong puts them; the last byte carries what is left,
        // so that no pulse follows the 250th bit.
        for (int sent = 0; sent < handshakeBits; sent += 3) {
            const int count = std::min(3, handshakeBits - sent);
            std::uint8_t byte = count == 3 ? 0x92 : count == 2 ? 0xF2 : SerialLink::bitZero;
            for (int k = 0; k < count; ++k) byte = static_cast<std::uint8_t>(byte | lfsr.step() << (3 * k));
            link_.stage(byte);
        }
    }
    for (int i = 0; i < handshakeBits + versionBits; ++i) link_.stage(SerialLink::clockByte);
    // Every byte goes out before the first reply is read; the replies wait in the driver.
    link_.flush();
    return lfsr;
}

HandshakeResult LoaderProtocol::readHandshake(Lfsr lfsr) {
    for (int i = 0; i < handshakeBits; ++i) {
        const ReplyBit reply = link_.replyBit(false, handshakeBitWindowMs);
        if (reply == ReplyBit::timedOut) return HandshakeResult::failed(HandshakeFailure::noAnswer);
        if ((reply == ReplyBit::one) != (lfsr.step() == 1)) return HandshakeResult::failed(HandshakeFailure::wrongBit);
    }
    return version();
}

HandshakeResult LoaderProtocol::version() {
    // The status line shows the bits as the window program always did: a time-out as -1 shifted in,
    // which sets its bit and all above; the arithmetic shifts keep them set ("Propeller Version = -127").
    std::int32_t shown = 0;
    bool cut = false;
    for (int i = 0; i < versionBits; ++i) {
        const ReplyBit bit = link_.replyBit(false, versionBitWindowMs);
        cut = cut || bit == ReplyBit::timedOut;
        const std::int32_t value = bit == ReplyBit::timedOut ? -1 : bit == ReplyBit::one ? 1 : 0;
        shown = (shown >> 1) | static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << 7);
    }
    teller_.version(shown);
    if (cut) return HandshakeResult::failed(HandshakeFailure::versionCut);
    return HandshakeResult::of(static_cast<std::uint8_t>(shown));
}

Acknowledgement LoaderProtocol::imageLoad(std::int32_t byteCount, std::span<const std::uint32_t> image) {
    const Acknowledgement answer = load(Command::loadRun, byteCount, image);
    teller_.ramVerdict(answer == Acknowledgement::accepted);
    return answer;
}

EepromResult LoaderProtocol::programEeprom(std::int32_t byteCount, std::span<const std::uint32_t> image, bool run) {
    const bool acknowledged =
        load(run ? Command::programRun : Command::programShutdown, byteCount, image) == Acknowledgement::accepted;
    teller_.eepromChecksum(acknowledged);
    if (!acknowledged) return EepromResult::checksumError;
    const bool programmed = acknowledgement(programWindowMs) == Acknowledgement::accepted;
    teller_.eepromProgrammed(programmed);
    if (!programmed) return EepromResult::programmingFailed;
    const bool verified = acknowledgement(verifyWindowMs) == Acknowledgement::accepted;
    teller_.eepromVerified(verified);
    return verified ? EepromResult::done : EepromResult::verifyFailed;
}

void LoaderProtocol::sendHead(Command command, std::int32_t byteCount) {
    const std::uint32_t head[] = {static_cast<std::uint32_t>(command), static_cast<std::uint32_t>(byteCount >> 2)};
    if (encoding_ == LongEncoding::fixed) {
        // Command and count each leave in a write of their own.
        sendLong(head[0]);
        link_.flush();
        sendLong(head[1]);
        link_.flush();
    } else {
        sendLongs(head);
        link_.flush();
    }
}

Acknowledgement LoaderProtocol::load(Command command, std::int32_t byteCount, std::span<const std::uint32_t> image) {
    const std::int32_t longCount = byteCount >> 2;
    sendHead(command, byteCount);
    teller_.writing(byteCount, command == Command::loadRun      ? LoadTarget::ram
                               : command == Command::programRun ? LoadTarget::eepromRun
                                                                : LoadTarget::eepromShutdown);

    const auto sent = static_cast<std::size_t>(longCount < 0 ? 0 : longCount);
    sendLongs(image.first(sent < image.size() ? sent : image.size()));
    link_.flush();
    teller_.verifying();
    return acknowledgement(acknowledgeWindowMs);
}

Acknowledgement LoaderProtocol::acknowledgement(std::int32_t windowMs) {
    link_.drain();
    switch (link_.replyBit(true, windowMs)) {
        case ReplyBit::zero:
            return Acknowledgement::accepted;
        case ReplyBit::one:
            return Acknowledgement::refused;
        case ReplyBit::timedOut:
            break;
    }
    return Acknowledgement::noAnswer;
}

void LoaderProtocol::sendLongs(std::span<const std::uint32_t> longs) {
    if (encoding_ == LongEncoding::fixed) {
        const std::size_t total = longs.size() * bytesPerLong;
        for (std::size_t i = 0; i < longs.size(); ++i) {
            sendLong(longs[i]);
            if (progressShown_ && (i % 64 == 63 || i + 1 == longs.size()))
                teller_.tell(Progress{(i + 1) * bytesPerLong, total});
        }
        return;
    }
    const std::vector<std::uint8_t> bytes = encodeDense(longs);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        link_.stage(bytes[i]);
        if (progressShown_ && (i % 512 == 511 || i + 1 == bytes.size())) teller_.tell(Progress{i + 1, bytes.size()});
    }
}

}  // namespace kestrup
