#pragma once
// Kestrup's second stage (loader/stage/firmware/stage.spin) as the host sees it, once the boot ROM
// has started one of its builds: a pure state machine like the chip model that runs it. Its
// receiver works on the line's levels as the chip's does: it times each sync pulse by the RC clock,
// then samples bytes at the bit time that pulse gave, so that a false sync, a byte at another rate
// or a byte lost on the way gives it the garbage it would give the chip. It takes messages of the
// length their length byte names, checks them, answers each, gives its verdict on the image,
// programs the EEPROM and starts the image on go, or shuts the chip down on stop. Its facts are
// loader/wire/wire.h's, as the stage's are; its rules are read from the stage's description, not
// taken from the host's code, so that it checks the host; and it answers the transcripts in
// tests/conformance/ as the stage does on the chip's logic, with the chip's timing.

#include <deque>

#include "chip_model.h"

namespace kestrup::sim {

// Which build of the stage these longs are, byte for byte, if any.
std::optional<StageBuild> stageBuildOf(std::span<const std::uint32_t> longs);
// Whether these longs are Kestrup's pilot (loader/stage/firmware/pilot.spin), byte for byte.
bool isPilot(std::span<const std::uint32_t> longs);
const char* stageBuildName(StageBuild build);

class StageModel {
public:
    // Started by the ROM; it listens from `listensAt` on, taking no sync under `firstFloor` clocks
    // (a build the bootstrap started: its bit time). No build: the pilot, which takes the
    // bootstrap, which takes a build and starts it. The faults are the session's.
    StageModel(std::optional<StageBuild> build, Micros listensAt, const ChipTiming& timing, const ChipFaults& faults,
               Ram& eeprom, std::uint32_t firstFloor = stage::firstSyncFloor, BoardParts parts = {});

    // A host byte whose frame ended at `at`, sent at `baud`; what it loads goes into the session.
    void receive(std::uint8_t byte, Micros at, int baud, SessionRecord& session);
    // The answers sent by `now`, in order; the session's state changes once the image starts.
    std::vector<std::uint8_t> due(Micros now, SessionRecord& session);
    std::optional<Micros> nextDue() const;
    // Whether it has taken the host's begin and so expects the image.
    bool begun() const { return phase_ != Phase::idle && phase_ != Phase::boot && phase_ != Phase::identify; }

private:
    struct Answer {
        Micros at;  // when its last byte is on the host's side
        char code;
        std::uint8_t packet;
        std::uint32_t value;
        int stageBaud;                // the rate it goes at, the sync's
        int hostBaud;                 // the rate the host's line was at for the message answered
        std::size_t eepromPages = 0;  // the picture's pages in the EEPROM once it has gone, in the stage's order
        bool boot = false;            // the bootstrap's: four bytes, code and value
        bool echo = false;            // the pilot's: the byte `value` as it came
    };
    // identify: the bootstrap carried the identify program (stage/firmware/identify.spin) instead.
    enum class Phase { pilot, boot, idle, packets, verdict, going, identify };
    // A byte on the line as the chip sees it: its frame from `start`, `bit` microseconds a bit.
    struct Frame {
        double start;
        double bit;
        std::uint8_t byte;
        int baud;
    };

    // Runs the receiver over the line as far as it is known: until `known`, or the last frame.
    void advance(double known, SessionRecord& session);
    bool lowAt(double t) const;
    // Frames wholly behind the receiver.
    void forgetRead();
    // The first time from `from` on at which the line is low (or high), if it is known by then.
    std::optional<double> nextLevel(double from, bool low, double known) const;
    bool huntSync(SessionRecord& session);
    // The pilot's: each low pulse goes back as it came until one of a sync's length.
    bool huntPilotSync();
    // The bootstrap's longs and the check, a byte at a time.
    void pilotByte(double at, SessionRecord& session);
    // A message's last byte sampled at `lastSample`: checked and answered.
    void messageDone(double lastSample, SessionRecord& session);
    // The bootstrap's messages, a byte at a time: a hello, or the stage's count and longs.
    void bootByte(double at, SessionRecord& session);
    void bootLoaded(Micros at, SessionRecord& session);
    // The identify program: each whole sync it takes is timed by the clock it runs on, and answered.
    bool identifySync(SessionRecord& session);
    // Its EEPROM answer: whether it acknowledges, and where its first bytes come again.
    std::uint32_t eepromAnswer() const;
    // The talker's part, from `at`, when it has the message.
    void idleMessage(char code, std::uint32_t trailer, double at, SessionRecord& session);
    void clockMessage(std::uint32_t trailer, double at, SessionRecord& session);
    void packetMessage(char code, std::uint32_t trailer, std::size_t longs, double at, SessionRecord& session);
    void takePacket(std::size_t longs, double at, SessionRecord& session);
    void heldMessage(char code, std::uint32_t trailer, double at);
    void goingMessage(double at);
    void beginMessage(std::uint32_t trailer, double at, SessionRecord& session);
    void finish(Micros at, SessionRecord& session);
    // The EEPROM's cog while the image comes: the pages below `limit`, which packets whose check
    // held brought, written from `at` on, one after the other.
    void eepromProven(std::size_t limit, Micros at);
    // The rest once the whole image is in, told as they go; false when a page failed (its verdict
    // queued).
    bool programEepromPages(Micros& at);
    Micros eepromPageMicros() const;
    void verdict(char code, std::uint32_t value, Micros at, std::size_t pages = 0);
    // The talker's answer, begun at `start` or once the one before has gone.
    void talk(char code, std::uint32_t value, double start, std::uint8_t packet = 0, std::size_t pages = 0);
    // An answer whose last byte is on the host's side at `at`.
    void answer(char code, std::uint32_t value, Micros at, std::uint8_t packet = 0, std::size_t pages = 0);
    // From an answer's first start bit to its last byte's stop bit.
    double answerMicros() const;
    std::size_t dataLongsTaken(std::uint8_t lengthByte) const;
    std::uint32_t expectedLongs() const;
    // The packet an 'N' names: 0 before begin and once the image is in.
    std::uint8_t expectedPacket() const;
    double clocks(double micros) const;
    Micros afterClocks(Micros from, double count) const;

    StageBuild build_ = StageBuild::ram;
    ChipTiming timing_;
    ChipFaults faults_;
    BoardParts parts_;
    // The identify program's clock: the RC clock until it switches to the crystal. Once the
    // crystal has answered, or the switch stopped a chip with none, it takes nothing more.
    double identifyHz_ = 0;
    bool onCrystal_ = false;
    bool identifyDone_ = false;
    Ram& eeprom_;
    Ram ram_{};
    Ram picture_{};
    std::deque<Answer> answers_;
    Micros lastAnswerAt_ = 0;
    Phase phase_ = Phase::idle;

    // The line and the receiver.
    std::deque<Frame> line_;
    double lineEnd_ = 0;  // where the last frame ends; a frame starts no earlier
    int lastBaud_ = 0;
    double position_;  // the receiver has read the line up to here
    bool inMessage_ = false;
    std::uint32_t floor_;  // the shortest pulse taken for the next sync, in clocks
    // The clock the stage runs on: the RC clock, then a crystal's PLL that a clock message moved
    // it to; none when that crystal does not run.
    double clockHz_;
    bool clockStopped_ = false;
    std::uint32_t width_ = 0;            // the sync's 4 bit times, in clocks
    double bitMicros_ = 0;               // the sync's bit time
    double messageStart_ = 0;            // the sync's fall
    int syncBaud_ = 0;                   // the host's rate when the sync came
    std::vector<std::uint8_t> message_;  // length byte, data, trailer, check
    std::optional<double> byteStart_;    // the start bit of a byte being sampled
    bool secondSync_ = false;            // the bootstrap awaits the pulse after the count
    std::uint32_t bootCount_ = 0;        // the longs of the stage the bootstrap takes

    // The talker.
    std::uint32_t longs_ = 0;
    std::uint8_t flags_ = 0;
    std::uint32_t packet_ = 0;             // the packet expected
    std::uint32_t imageCrc_ = 0xFFFFFFFF;  // the CRC register over the packets taken
    bool damaged_ = false;
    std::vector<Micros> eepromDone_;  // when each page the EEPROM's cog wrote in the stage's order is done
    Micros eepromFree_ = 0;           // when the EEPROM's cog is done with those
    char verdictCode_ = 0;
    std::uint32_t verdictValue_ = 0;
    std::uint32_t delay_ = 0;
    double deadline_ = 0;  // go's: a message begun before it is answered 'G' again
    std::optional<Micros> startAt_;
    ChipState startState_ = ChipState::running;
    std::string startWhy_;
};

}  // namespace kestrup::sim
