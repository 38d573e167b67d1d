#pragma once
// The Propeller's ROM boot loader as a pure state machine: host bytes go in with the time their
// frame ended, reply bytes come out. No I/O and no clock of its own, so every timing rule can be
// tested with invented times.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "line.h"
#include "wire/wire.h"

namespace kestrup::sim {

using Micros = std::int64_t;

inline constexpr int handshakeBits = 250;
inline constexpr int versionBits = 8;
inline constexpr std::size_t ramBytes = stage::ramBytes;
inline constexpr std::uint32_t ramLongs = ramBytes / 4;
// Written at dbase-8 and dbase-4 before the sum; a compiler picks the image's checksum byte with it.
inline constexpr std::uint32_t stackMarker = stage::stackMarker;
inline constexpr std::uint16_t launchPbase = stage::startPbase;
inline constexpr std::uint8_t strayByte = 0x00;

// Times are those of a chip on a 12 MHz RC clock; the chip's own limits are counts of its clocks.
struct ChipTiming {
    // The RC clock: the second stage times the line by it.
    std::int64_t clockHz = 12'000'000;
    // A pty has no DTR. Once a session has ended (the chip runs, shut down or gave up), a
    // calibration byte after this much quiet stands for the reset before a new handshake. In the
    // middle of a session only the chip's own limits end it, as on a board. 0: never.
    Micros resetSilence = 60'000;
    // Longest gap between handshake bytes, clocks or longs, and from a finished computation to
    // the next clock: 2 M chip clocks.
    Micros gapLimit = 166'667;
    // After a reset the ROM listens this long for the whole handshake, then boots from EEPROM. Counted
    // from the session's first byte, since a pty shows no reset.
    Micros listenWindow = 250'000;
    // Zero-fill and sum of the 32 KB after the last long.
    Micros checksumTime = 100'000;
    // Commands 2 and 3: writing 32 KB of EEPROM in 64-byte pages, then reading it back.
    // The second stage's EEPROM takes the same per 64-byte page.
    Micros programTime = 2'000'000;
    Micros verifyTime = 800'000;
    // From the ROM's acknowledgement of the second stage until the stage listens (35 to 55 ms on the
    // chip: the ROM's own wait, then the stage's start).
    Micros stageStart = 45'000;
};

struct ChipFaults {
    bool silent = false;               // never drives its transmit line
    std::optional<int> wrongBit;       // this LFSR reply (0..249) goes out inverted
    bool missingVersionBit = false;    // the last version bit is never sent
    int strayBytes = 0;                // line noise ahead of the first reply
    bool rejectChecksum = false;       // answers 0xFF whatever the data
    bool noAcknowledge = false;        // never answers after the data
    bool programFails = false;         // commands 2 and 3: the EEPROM does not take the image
    bool verifyFails = false;          // commands 2 and 3: the EEPROM reads back wrong
                                       // (the second stage: its first page to write)
    bool stageSilent = false;          // the second stage is loaded and started but never answers
    std::optional<int> damagedPacket;  // the second stage's packet K arrives corrupted, once
};

// Where a board is pulled off the line (its adapter unplugged): half way through the host's
// handshake bits, half way through the longs, or as the verdict falls due.
enum class Hangup { never, handshake, load, acknowledgement };

// What the board gives the chip besides its RC clock, as Kestrup's identify program finds it.
struct BoardParts {
    std::int64_t crystalHz = 5'000'000;  // 0: none, so that a switch to it stops the clock
    bool eeprom = true;                  // a 24xx256: its address wraps at 32 KB
};

struct ChipConfig {
    std::uint8_t version = 1;
    BoardParts parts;
    ChipFaults faults;
    int faultySessions = 0;  // the faults hit only the first N sessions; 0: every session
    ChipTiming timing;
};

enum class Handshake { pending, ok, badCalibration, mismatch, framingError, misaligned, tooSlow };

enum class ChipState {
    handshake,      // taking the host's bits
    replying,       // answering clocks with LFSR and version bits
    loading,        // command, long count, longs
    computing,      // zero-fill and sum; clocks are not seen until it is done, and the first one
                    // after that only lines the reply up
    acknowledging,  // the next clock gets the verdict
    programming,
    verifying,
    bootstrap,  // the ROM started Kestrup's pilot, which takes the bootstrap, which takes the second stage
    stage,      // the ROM started Kestrup's second stage, which takes the image and answers in its own protocol
    running,
    shutdown,
    eepromBoot,  // gave up on the host (handshake failed, a time limit passed): silent until reset
};

enum class StageBuild { ram, eeprom };

// The second stage's part of a session. Once it has begun an image, the session's command, count,
// longs and sum are the image's, as if the ROM had loaded it (command 2 or 3 for the EEPROM).
struct StageRecord {
    std::optional<StageBuild> build;  // none while a bootstrap has not started one
    std::string pilotLoads;           // the bootstrap's loads as the pilot took them: K good, X not
    std::string bootAnswers;          // the bootstrap's answers, when the ROM started one, and the
                                      // identify program's after them when it carried that
    int baud = 0;                     // the rate of the last message taken
    std::string answers;              // the code of every answer sent, in order
    std::uint32_t bootFloor = 0;      // the first sync floor the bootstrap left it, in chip clocks
};

struct SessionRecord {
    int number = 0;
    bool faulty = false;
    Micros start = 0;
    Micros last = 0;
    std::size_t bytesIn = 0;
    bool onlyClocks = true;             // every byte in was a clock byte
    std::vector<std::uint8_t> answers;  // every byte the ROM sent, stray ones included
    Handshake handshake = Handshake::pending;
    int hostBits = 0;  // host handshake bits taken (matched)
    int replies = 0;   // clocks of the handshake answered
    std::optional<std::uint32_t> command;
    std::optional<std::uint32_t> longCount;
    std::vector<std::uint32_t> longs;
    // Ends of the frames of the first byte after the handshake and of the byte that completed the
    // last long: the load's time on the line, less one frame.
    std::optional<Micros> loadStart;
    std::optional<Micros> loadEnd;
    std::optional<std::uint8_t> ramSum;   // sum of the 32 KB mod 256 once computed; 0 is good
    std::optional<std::uint8_t> verdict;  // 0xFE or 0xFF, when answered
    int eepromAcks = 0;
    ChipState state = ChipState::handshake;
    std::string why;  // what stopped the chip, when it stopped early
    std::optional<StageRecord> stage;
};

using Ram = std::array<std::uint8_t, ramBytes>;

// The 32 KB RAM after loading these longs from address 0, zero above them, and the stack markers
// written at dbase-8 and dbase-4 (dbase: the word at byte 10): what the chip checks, runs and
// writes to the EEPROM. Hub addresses are 16 bits wide and the upper half is ROM, so markers that
// land there change nothing.
Ram ramPicture(std::span<const std::uint32_t> longs);
// Its sum mod 256; 0 is good.
std::uint8_t ramChecksum(std::span<const std::uint32_t> longs);

class StageModel;

class ChipModel {
public:
    explicit ChipModel(ChipConfig config = {});
    ~ChipModel();
    ChipModel(ChipModel&&) noexcept;
    ChipModel& operator=(ChipModel&&) noexcept;

    // A host byte whose frame ended at `at`, sent at `baud`; the bytes the chip sends back at once
    // (with any of the second stage's answers that fell due before).
    std::vector<std::uint8_t> receive(std::uint8_t byte, Micros at, int baud = baudRate);
    // The second stage answers in its own time: what it has sent by `now`, and when it sends next.
    std::vector<std::uint8_t> answersDue(Micros now);
    std::optional<Micros> nextAnswer() const;
    // Nothing on the line until `now`: the chip gives up once its limit for the awaited byte has
    // passed, and an ended session is closed once the reset silence has.
    void idle(Micros now);
    // The reset line: the current session ends and the next byte starts one, whatever it is.
    void reset();
    // The simulator stops: the current session ends as it is.
    void finish();
    // The board is gone from the line: the current session ends, saying where it was.
    void unplug();

    const SessionRecord* current() const { return session_ ? &*session_ : nullptr; }
    // Erased (0xFF) until the ROM or the second stage programs it; kept across sessions.
    const Ram& eeprom() const { return eeprom_; }
    int sessionsStarted() const { return sessionsStarted_; }
    // Sessions that have ended since the last call, oldest first.
    std::vector<SessionRecord> takeEnded();

private:
    bool resetBy(std::uint8_t byte, Micros at) const;
    bool mayResetStage(std::uint8_t byte, Micros at) const;
    void take(std::uint8_t byte, Micros at, int baud, std::vector<std::uint8_t>& out);
    // When the chip gives up if nothing comes; only while the session still waits for the host.
    std::optional<Micros> deadline() const;
    void giveUp();
    void startSession(Micros at);
    void endSession();
    void stop(ChipState state, std::string why);
    void give(std::vector<std::uint8_t>& out, std::uint8_t byte);
    void handshakeByte(std::uint8_t byte);
    void replyByte(std::uint8_t byte, std::vector<std::uint8_t>& out);
    void loadByte(std::uint8_t byte, Micros at);
    void onLong(std::uint32_t value, Micros at);
    void afterData(std::uint8_t byte, Micros at, std::vector<std::uint8_t>& out);
    bool launchable() const;
    void launch(Micros at);
    const ChipFaults& faults() const;

    ChipConfig config_;
    Ram eeprom_;
    std::unique_ptr<StageModel> stage_;
    std::optional<SessionRecord> session_;
    std::vector<SessionRecord> ended_;
    int sessionsStarted_ = 0;
    // After a session has ended the chip listens again only after a reset; a pty shows none.
    bool awaitingReset_ = false;
    // The session was started by a clock after quiet, not by the reset line.
    bool guessedReset_ = false;
    Micros lastByte_ = 0;
    // A clock after quiet while the second stage runs, until the next byte tells whether it
    // opened a handshake.
    struct Held {
        Micros at;
        int baud;
    };
    std::optional<Held> held_;
    bool stageReset_ = false;

    // Per session.
    std::uint8_t lfsr_ = 0;
    std::uint32_t accumulator_ = 0;
    int accumulated_ = 0;
    Micros readyAt_ = 0;
    Micros lastClock_ = 0;
};

// Whether a session has reached the point where the board is to be pulled.
bool hangupDue(Hangup at, const SessionRecord& session);

const char* handshakeName(Handshake h);
const char* stateName(ChipState s);

}  // namespace kestrup::sim
