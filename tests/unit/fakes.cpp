#include "fakes.h"

#include "loader_protocol.h"

#include <algorithm>
#include <cstdio>

namespace kestrup::test {

bool FakePort::open(const std::string& device) {
    ++opens;
    note("open " + device);
    if (isOpen || std::find(existing.begin(), existing.end(), device) == existing.end()) return false;
    isOpen = true;
    openedDevice = device;
    return true;
}

void FakePort::setDtr(bool asserted) {
    note(asserted ? "dtr on" : "dtr off");
    if (!asserted && onReset) onReset();
}

void FakePort::setRts(bool asserted) { note(asserted ? "rts on" : "rts off"); }

void FakePort::purgeReceive() {
    ++purges;
    note("purge");
    pending.clear();
}

std::optional<std::size_t> FakePort::write(std::span<const std::uint8_t> bytes) {
    writes.emplace_back(bytes.begin(), bytes.end());
    note("write " + std::to_string(bytes.size()));
    std::optional<std::size_t> result = bytes.size();
    if (!writeResults.empty()) {
        result = writeResults.front();
        writeResults.pop_front();
    }
    const std::size_t delivered = result ? std::min(*result, bytes.size()) : 0;
    written.insert(written.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(delivered));
    if (onWrite && delivered > 0) onWrite(bytes.first(delivered));
    return result;
}

std::optional<std::size_t> FakePort::read(std::span<std::uint8_t> into) {
    ++reads;
    std::size_t n = std::min({into.size(), pending.size(), readLimit});
    if (!readResults.empty()) {
        const auto scripted = readResults.front();
        readResults.pop_front();
        if (!scripted) return std::nullopt;
        n = std::min(n, *scripted);
    }
    for (std::size_t i = 0; i < n; ++i) {
        into[i] = pending.front();
        pending.pop_front();
    }
    return n;
}

void FakePort::close() {
    ++closes;
    note("close");
    isOpen = false;
}

bool FakePort::setBaud(int baud) {
    bauds.push_back(baud);
    note("baud " + std::to_string(baud));
    return true;
}

void FakePort::drain() {
    ++drains;
    note("drain");
}

std::uint32_t decodeLong(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    int bit = 0;
    for (std::size_t k = 0; k < bytesPerLong; ++k) {
        const int bitsHere = k < 10 ? 3 : 2;
        const int positions[3] = {0, 3, 6};
        for (int j = 0; j < bitsHere; ++j, ++bit)
            value |= static_cast<std::uint32_t>((bytes[k] >> positions[j]) & 1) << bit;
    }
    return value;
}

std::optional<std::vector<int>> pulseBits(std::span<const std::uint8_t> bytes) {
    std::vector<int> bits;
    for (const auto byte : bytes) {
        // Bit-times 0 (start, low) to 10 (second stop, high).
        int line[11];
        line[0] = 0;
        for (int i = 0; i < 8; ++i) line[1 + i] = (byte >> i) & 1;
        line[9] = line[10] = 1;
        int run = 0;
        for (const int level : line) {
            if (level == 0) {
                ++run;
                continue;
            }
            if (run == 1) bits.push_back(1);
            else if (run == 2) bits.push_back(0);
            else if (run != 0) return std::nullopt;
            run = 0;
        }
    }
    return bits;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char cell[4];
    for (const auto b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        out += cell;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

void ChipModel::reset() {
    received.clear();
    command.reset();
    longCount.reset();
    longs.clear();
    handshakeOk = false;
    position_ = 0;
    repliesGiven_ = 0;
    longBytes_.clear();
    acknowledgements_ = 0;
}

std::vector<std::uint8_t> ChipModel::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> replies;
    for (const auto b : bytes) {
        const auto out = onByte(b);
        replies.insert(replies.end(), out.begin(), out.end());
    }
    return replies;
}

void ChipModel::attach(FakePort& port) {
    port.onWrite = [this, &port](std::span<const std::uint8_t> bytes) { port.queueReply(feed(bytes)); };
    port.onReset = [this] { reset(); };
}

std::vector<std::uint8_t> ChipModel::onByte(std::uint8_t byte) {
    received.push_back(byte);
    const std::size_t index = position_++;
    constexpr std::size_t hostBits = LoaderProtocol::handshakeBits;
    constexpr std::size_t clocks = LoaderProtocol::handshakeBits + LoaderProtocol::versionBits;
    if (fault == Fault::silent) return {};

    if (index == 0) return {};  // calibration clock
    if (index <= hostBits) {
        // Replay the host's sequence to check it; a wrong bit makes the real chip go quiet.
        Lfsr lfsr;
        for (std::size_t i = 1; i < index; ++i) lfsr.step();
        if (byte != (0xFE | lfsr.step())) fault = Fault::silent;
        return {};
    }
    if (index <= hostBits + clocks) {
        if (byte != SerialLink::clockByte) return {};
        const int reply = repliesGiven_++;
        if (reply < LoaderProtocol::handshakeBits) {
            Lfsr lfsr;
            for (std::size_t i = 0; i < hostBits + static_cast<std::size_t>(reply); ++i) lfsr.step();
            int bit = lfsr.step();
            if (fault == Fault::wrongBit && reply == wrongBitIndex) bit ^= 1;
            return {static_cast<std::uint8_t>(0xFE | bit)};
        }
        const int versionBit = reply - LoaderProtocol::handshakeBits;
        if (fault == Fault::missingVersionBit && versionBit == LoaderProtocol::versionBits - 1) return {};
        if (versionBit == LoaderProtocol::versionBits - 1) handshakeOk = true;
        return {static_cast<std::uint8_t>(0xFE | ((version >> versionBit) & 1))};
    }

    const bool allLongsIn = command && longCount && longs.size() == *longCount;
    if (!allLongsIn) {
        longBytes_.push_back(byte);
        if (longBytes_.size() < bytesPerLong) return {};
        const std::uint32_t value = decodeLong(longBytes_);
        longBytes_.clear();
        if (!command)
            command = value;
        else if (!longCount)
            longCount = value;
        else
            longs.push_back(value);
        return {};
    }
    // Acknowledgements: the checksum verdict, then for the EEPROM commands "programmed" and
    // "verified", each answering one clock.
    if (*command == 0 || *command > 3 || byte != SerialLink::clockByte) return {};
    const int wanted = *command == 1 ? 1 : 3;
    if (acknowledgements_ >= wanted || fault == Fault::noAcknowledge) return {};
    const int stage = acknowledgements_++;
    const bool bad = (stage == 0 && fault == Fault::rejectChecksum) || (stage == 1 && fault == Fault::programFails) ||
                     (stage == 2 && fault == Fault::verifyFails);
    if (bad) acknowledgements_ = wanted;  // the chip shuts down after a failure
    return {bad ? SerialLink::bitOne : SerialLink::bitZero};
}

}  // namespace kestrup::test
