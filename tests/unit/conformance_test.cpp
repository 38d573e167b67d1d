// propsim's model of the second stage holds to the transcripts the stage on the chip's logic holds
// to (tests/conformance/stage.transcripts, played on the rig by tests/e2e/test_rig_stage.py): the
// same answers, in the same order, within the chip's time.

#include "conformance.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "stage_model.h"

namespace kestrup::sim {
namespace {

using conformance::Transcript;

std::vector<Transcript> transcripts() {
    std::ifstream in(KESTRUP_STAGE_TRANSCRIPTS);
    std::stringstream text;
    text << in.rdbuf();
    return conformance::parse(text.str());
}

// The model on invented time: bytes eleven bit times apart, as propsim paces them, and its answers
// taken as they fall due.
class ModelEnd final : public conformance::StageEnd {
public:
    bool start(const Transcript& transcript) override {
        const StageBuild build = transcript.eepromBuild ? StageBuild::eeprom : StageBuild::ram;
        config_.timing.clockHz = conformance::chipHz;
        session_ = SessionRecord{};
        session_.state = ChipState::stage;
        session_.stage = StageRecord{};
        session_.stage->build = build;
        eeprom_.fill(0);
        // The bootstrap leaves its bit time as the first floor, at the chip's own rate.
        const int bootBaud = boot::loadBaud(conformance::chipHz);
        const auto bootBit = static_cast<std::uint32_t>((conformance::chipHz + bootBaud / 2) / bootBaud);
        baud_ = transcript.bootStarted ? bootBaud : stage::contactBaud;
        stage_.emplace(build, static_cast<Micros>(now_), config_.timing, config_.faults, eeprom_,
                       transcript.bootStarted ? bootBit : stage::firstSyncFloor);
        return true;
    }
    void setLine(int baud, int) override { baud_ = baud; }
    void send(std::span<const std::uint8_t> bytes) override {
        now_ += gap;
        for (const std::uint8_t b : bytes) {
            now_ += bitsPerFrame * 1e6 / baud_;
            stage_->receive(b, static_cast<Micros>(now_), baud_, session_);
        }
    }
    std::vector<stage::Answer> collect(std::size_t count, int windowMs) override {
        std::vector<stage::Answer> answers;
        const double end = now_ + 1000.0 * windowMs;
        std::optional<double> settled;
        while (now_ < std::min(end, settled.value_or(end))) {
            now_ += step;
            auto arrived = stage_->due(static_cast<Micros>(now_), session_);
            received_.insert(received_.end(), arrived.begin(), arrived.end());
            for (const auto& a : stage::takeAnswers(received_)) answers.push_back(a);
            if (count > 0 && answers.size() >= count && !settled) settled = now_ + settleMicros;
        }
        return answers;
    }
    std::optional<std::string> state(int windowMs) override {
        collect(0, windowMs);
        if (session_.state == ChipState::running) return "running";
        if (session_.state == ChipState::shutdown) return "shutdown";
        return stateName(session_.state);
    }

private:
    static constexpr double step = 50;  // microseconds
    static constexpr double gap = 200;  // of idle line before each message, as a host leaves
    static constexpr double settleMicros = 3000;
    ChipConfig config_;
    Ram eeprom_{};
    SessionRecord session_;
    std::optional<StageModel> stage_;
    std::vector<std::uint8_t> received_;
    double now_ = 1000;
    int baud_ = stage::contactBaud;
};

class StageTranscript : public testing::TestWithParam<Transcript> {};

}  // namespace
}  // namespace kestrup::sim

namespace kestrup::conformance {
// gtest names a failing transcript by this.
void PrintTo(const Transcript& transcript, std::ostream* out) {
    *out << transcript.name;
}
}  // namespace kestrup::conformance

namespace kestrup::sim {
namespace {

TEST_P(StageTranscript, TheModelAnswersAsTheChip) {
    ModelEnd end;
    const auto outcome = conformance::play(GetParam(), end);
    std::string log;
    for (const auto& line : outcome.log) log += line + "\n";
    for (const auto& failure : outcome.failures) ADD_FAILURE() << failure;
    if (!outcome.failures.empty()) std::cout << log;
}

INSTANTIATE_TEST_SUITE_P(Conformance, StageTranscript, testing::ValuesIn(transcripts()),
                         [](const testing::TestParamInfo<Transcript>& param) {
                             std::string name;
                             for (const char c : param.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
}  // namespace kestrup::sim
