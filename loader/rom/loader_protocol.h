#pragma once
// The host side of the Propeller ROM boot loader: LFSR handshake and version, command longs at
// three bits per byte, and the chip's one-bit checksum acknowledgement.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "events/load_teller.h"
#include "rom/serial_link.h"

namespace kestrup {

// The 8-bit LFSR both sides run; the chip's bits continue the host's sequence.
class Lfsr {
public:
    static constexpr std::uint8_t seed = 80;  // 'P'
    explicit Lfsr(std::uint8_t state = seed) : state_(state) {}
    int step();
    std::uint8_t state() const { return state_; }

private:
    std::uint8_t state_;
};

// Eleven bytes per long, least significant bit first; each data bit sits at bit 0, 3 or 6 of its
// byte so that on an 8N2 line a 1 is a one-bit-time low pulse and a 0 a two-bit-time one.
inline constexpr std::size_t bytesPerLong = 11;
std::array<std::uint8_t, bytesPerLong> encodeLong(std::uint32_t value);

enum class Command : std::uint32_t { shutdown = 0, loadRun = 1, programShutdown = 2, programRun = 3 };

// How longs after the handshake are put on the line: three bits a byte, or packed as densely as
// the chip's pulse decoder allows.
enum class LongEncoding { fixed, dense };

enum class EepromResult { done, checksumError, programmingFailed, verifyFailed };

// Why a handshake gave no version.
enum class HandshakeFailure {
    noAnswer,    // an LFSR bit did not come within its window: no chip, or none that took the host's bits
    wrongBit,    // a reply differed from the LFSR's: no Propeller, or a garbled line
    versionCut,  // the LFSR's bits all came, a version bit did not
};

// The chip's version, or why the handshake gave none.
struct HandshakeResult {
    std::optional<HandshakeFailure> failure;
    std::uint8_t version = 0;  // the eight bits, when they all came

    static HandshakeResult of(std::uint8_t version) { return {std::nullopt, version}; }
    static HandshakeResult failed(HandshakeFailure why) { return {why, 0}; }
    // A Propeller answered: version 0 is none's.
    bool isChip() const { return !failure && version >= 1; }
};

// The chip's answer to a checksum, or to its programming or verification of the EEPROM.
enum class Acknowledgement {
    accepted,  // 0xFE
    refused,   // 0xFF: a bad checksum, or an EEPROM that failed
    noAnswer,  // nothing within the window
};

// How the host's 250 handshake bits go: a byte each (0xFE, 0xFF), or three a byte as longs go,
// which the ROM decodes alike and which takes a third of the line time (8 ms less at 230400 baud).
enum class HandshakeBits { onePerByte, threePerByte };

// A program the ROM loads and starts: the handshake's result, and the ROM's answer to the program
// (noAnswer where no chip answered the handshake).
struct BootResult {
    HandshakeResult handshake;
    Acknowledgement program = Acknowledgement::noAnswer;
};

class LoaderProtocol {
public:
    static constexpr int handshakeBits = 250;
    static constexpr int versionBits = 8;
    static constexpr std::int32_t handshakeBitWindowMs = 100;
    static constexpr std::int32_t versionBitWindowMs = 50;
    // Each acknowledgement window starts once the line has drained: until then the chip is still
    // receiving (a USB adapter holds about 0.4 s of line time when a write returns, a pty 1.6 s).
    static constexpr std::int32_t acknowledgeWindowMs = 2500;
    // The chip's two acknowledgements after an EEPROM checksum. Its boot ROM writes all 32 KB in
    // 512 pages of 64 bytes and reads them back. On the chip's logic at 8 MHz programming took
    // 4.67 s: 512 page writes of 5 ms, the EEPROM's own time at most (2.56 s whatever the chip's
    // clock), and 16.9 M clocks of the chip's own work (33,000 a page); verifying took 15.8 M to
    // 16.1 M clocks (2.0 s). The windows are sized for a chip a little slower than the slowest, at
    // 7 MHz, with a clear margin: programming 2.56 s + 16.9 M / 7 MHz = 4.97 s, window 7 s;
    // verifying 16.1 M / 7 MHz = 2.30 s, window 3 s.
    static constexpr std::int32_t programWindowMs = 7000;
    static constexpr std::int32_t verifyWindowMs = 3000;

    // The load's events go to `events`, stamped with the link's clock.
    LoaderProtocol(SerialLink& link, LoadEvents& events);

    void sendLong(std::uint32_t value);
    // Command 0, in a write of its own.
    void shutDownChip();
    // The chip's version, told as it came (a version cut short as well, for its status line).
    HandshakeResult handshake(HandshakeBits bits = HandshakeBits::onePerByte);
    // Sends command 1, the long count and the image's first byteCount/4 longs, then awaits the
    // chip's answer to the checksum.
    Acknowledgement imageLoad(std::int32_t byteCount, std::span<const std::uint32_t> image);
    // The handshake and a RAM load of `program` behind it, all written before the first reply is
    // read: through an adapter that holds the chip's bytes back, no round trip between them. A line
    // with no chip takes the program to no effect; its bytes have left when this returns.
    BootResult boot(HandshakeBits bits, std::span<const std::uint32_t> program);
    // The same load with command 3 (run afterwards) or 2 (shut down afterwards), then the chip's
    // "programmed" and "verified" acknowledgements.
    EepromResult programEeprom(std::int32_t byteCount, std::span<const std::uint32_t> image, bool run);

    void setEncoding(LongEncoding encoding) { encoding_ = encoding; }
    // Whether the image's progress is told, after each part of it has been staged (bytes of its
    // share of the load so far, and in all).
    void showProgress(bool shown) { progressShown_ = shown; }
    LoadTeller& teller() { return teller_; }

private:
    Acknowledgement load(Command command, std::int32_t byteCount, std::span<const std::uint32_t> image);
    // The host's 250 bits and the clocks for the chip's replies, written; the LFSR as the chip's
    // replies continue it.
    Lfsr sendHandshake(HandshakeBits bits);
    HandshakeResult readHandshake(Lfsr lfsr);
    void sendHead(Command command, std::int32_t byteCount);
    // Clocks until the chip answers, within windowMs counted from when the line has drained.
    Acknowledgement acknowledgement(std::int32_t windowMs);
    // The version bits after the LFSR's: told as they came, a time-out as ones from its bit up.
    HandshakeResult version();
    void sendLongs(std::span<const std::uint32_t> longs);

    SerialLink& link_;
    LoadTeller teller_;
    LongEncoding encoding_ = LongEncoding::fixed;
    bool progressShown_ = false;
};

}  // namespace kestrup
