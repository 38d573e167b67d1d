#pragma once
// Kestrup's second stage (loader/second_stage/stage.spin) as the host sees it, once the boot ROM
// has started one of its builds: a pure state machine like the chip model that runs it. It times
// each message's sync pulse by the chip's RC clock, takes messages of the length it expects,
// checks them, answers each, gives its verdict on the image and programs the EEPROM. Its rules are
// read from the stage's source, not taken from the host's code, so that it checks the host.

#include "chip_model.h"

#include <deque>

namespace kestrup::sim {

// Which build of the stage these longs are, byte for byte, if any.
std::optional<StageBuild> stageBuildOf(std::span<const std::uint32_t> longs);
const char* stageBuildName(StageBuild build);

class StageModel {
public:
    // Started by the ROM; it listens from `listensAt` on. The faults are the session's.
    StageModel(StageBuild build, Micros listensAt, const ChipTiming& timing, const ChipFaults& faults, Ram& eeprom);

    // A host byte whose frame ended at `at`, sent at `baud`; what it loads goes into the session.
    void receive(std::uint8_t byte, Micros at, int baud, SessionRecord& session);
    // The answers sent by `now`, in order; the last one leaves the session in the state it names.
    std::vector<std::uint8_t> due(Micros now, SessionRecord& session);
    std::optional<Micros> nextDue() const;
    // Whether it has taken the host's begin and so expects the image.
    bool begun() const { return phase_ != Phase::idle; }

private:
    struct Answer {
        Micros at;
        char code;
        std::uint32_t value;
        std::size_t eepromPages = 0;  // the picture's pages in the EEPROM once it has gone
        std::optional<ChipState> then;
        std::string why;
    };
    enum class Phase { idle, packets, finishing };

    void lookForSync(std::uint8_t byte, double frameStart, double bitMicros, int baud, Micros at,
                     SessionRecord& session);
    void messageDone(Micros at, SessionRecord& session);
    void idleMessage(bool good, std::uint32_t trailer, Micros at, SessionRecord& session);
    // Whether it was the packet expected.
    bool packetMessage(bool good, std::uint32_t trailer, Micros at, SessionRecord& session);
    void finish(Micros at, SessionRecord& session);
    // The pages that differ from the picture; false when one failed (its answer queued).
    bool programEepromPages(Micros& at);
    void answer(char code, std::uint32_t value, Micros at);
    void queue(Answer next);
    std::size_t messageBytes() const;
    double clocks(double micros) const;

    StageBuild build_;
    ChipTiming timing_;
    ChipFaults faults_;
    Ram& eeprom_;
    Ram ram_{};
    Ram picture_{};
    std::deque<Answer> answers_;
    Phase phase_ = Phase::idle;

    // The receiver: it looks for a sync once the talker has ordered the next message.
    double readyAt_;
    double lineHighSince_;
    std::uint32_t sameRateSync_ = 0xFFFFFFFF;  // 2.5 bit times of the last message's rate, in clocks
    bool inMessage_ = false;
    bool garbled_ = false;  // its sync was no clean 0xF8, or its bytes changed rate
    int messageBaud_ = 0;
    std::uint32_t width_ = 0;  // the sync's 4 bit times, in clocks
    std::vector<std::uint8_t> message_;

    // The talker.
    std::uint32_t longs_ = 0;
    std::uint8_t flags_ = 0;
    std::uint32_t packet_ = 0;
    bool damaged_ = false;
    Micros lastAnswerAt_ = 0;
};

}  // namespace kestrup::sim
