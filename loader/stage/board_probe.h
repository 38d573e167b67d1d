#pragma once
// kestrupload --identify on the lean path: the boot ROM loads the pilot, the pilot the bootstrap,
// and the bootstrap Kestrup's identify program (stage/firmware/identify.spin) instead of the second
// stage. The program times the chip's RC clock by the host's bit time, probes the EEPROM, and last
// switches the chip to its crystal and times that; docs/protocol.md describes the exchange, its
// facts are in wire/wire.h.
//
// The host sends a sync every millisecond at identify::baud until the program's first answers ('C',
// 'E') come, for firstAnswerMs, then on until the crystal's ('X') comes, for crystalMs after them. A
// chip with no crystal stops at the switch: no 'X' comes, and once the board has been told, the
// chip is reset and shut down through the ROM, where identify has always left it. A chip that ran
// on its crystal has shut itself down.

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "events/load_events.h"
#include "events/load_teller.h"
#include "port/loader_line.h"
#include "port/serial_port.h"
#include "rom/loader_protocol.h"
#include "rom/rom_loader.h"
#include "rom/serial_link.h"

namespace kestrup {

class BoardProbe {
public:
    static constexpr int syncEveryMs = 1;
    // From the bootstrap's 'K' to the first answers: the interpreter's start and the EEPROM's probe
    // (8 ms at 8 MHz), a USB adapter's latency timer (16 ms), and a simulated chip that lags on a
    // busy machine.
    static constexpr int firstAnswerMs = 60;
    // From the first answers to the crystal's: the oscillator's settling by the RC clock (25 ms at
    // 8 MHz), the latency timer, and the same margin. A chip with no crystal costs this.
    static constexpr int crystalMs = 70;
    // A chip that answered the ROM and whose board went undescribed (a pilot, a bootstrap or the
    // program unheard) is asked once more from its reset: 0.3 s against an answer of "no board".
    static constexpr int attempts = 2;

    // `events` is the gate the ROM's protocol tells through: closed while the chip is shut down
    // after a crystal that did not run, so that its version is told once.
    BoardProbe(SerialLink& link, LoaderProtocol& protocol, RomLoader& rom, SerialPort& port, EventGate& events,
               Clock& clock)
        : link_(link),
          protocol_(protocol),
          rom_(rom),
          port_(port),
          events_(events),
          told_(events, clock),
          clock_(clock) {}

    struct Result {
        // none: the port refused a rate the probe needs, and nothing was sent.
        std::optional<HandshakeResult> handshake;
        // What the program told, as it was told; none where it did not answer.
        std::optional<BoardDescribed> board;
    };
    // The chip is reset, described (told as BoardDescribed, for the board behind `portName`) and
    // left shut down.
    Result describe(const std::string& portName);

private:
    struct Answers {
        std::optional<std::uint32_t> rc;
        std::optional<std::uint32_t> eeprom;
        std::optional<std::uint32_t> crystal;
    };
    // One reset and all that follows; the version (or the handshake's time-out) told on the first.
    Result attemptOnce(const std::string& portName, bool first);
    Answers timeClocks(LoaderLine& line);
    // Reset, handshake and shutdown at the ROM's rate, the handshake's version not told again.
    void shutDownThroughRom(LoaderLine& line);

    SerialLink& link_;
    LoaderProtocol& protocol_;
    RomLoader& rom_;
    SerialPort& port_;
    EventGate& events_;
    LoadTeller told_;
    Clock& clock_;
};

// What the EEPROM's answer (identify::answer::eeprom's value) tells.
EepromFound eepromFound(std::uint32_t answer);

}  // namespace kestrup
