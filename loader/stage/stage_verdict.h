#pragma once
// One load's end with the second stage (second_stage.h), once the stage holds the whole image: its
// verdict, told as the ROM's load tells the same steps, then go to an image whose RAM the stage
// proved to be the host's picture of it, and stop to one whose RAM it did not.

#include <cstdint>
#include <optional>
#include <vector>

#include "base/status_sink.h"
#include "events/load_teller.h"
#include "stage/second_stage.h"
#include "stage/stage_link.h"

namespace kestrup {

class StageVerdict {
public:
    // Budgets, in milliseconds: from the EEPROM's last page to the verdict, and between the
    // EEPROM's answers.
    static constexpr int finishWindowMs = 400;
    static constexpr int eepromStepWindowMs = 3000;

    struct Timing {
        int verdictWindowMs = finishWindowMs;  // a RAM load's verdict, by the chip's clock
        std::uint32_t goDelay = 0;             // in units of 256 chip clocks
        std::optional<int> imageBaud;          // the rate the image talks at to a terminal, if one follows
    };

    StageVerdict(StageLink& link, StatusSink& status, const StageImage& image, LoadTarget target, Timing timing);

    // From the stage's answer to the last packet (or the verdict that overtook it) to the load's
    // outcome, told to `steps` when given.
    StageOutcome judge(std::optional<stage::Answer> answer, LoadTeller* steps);

private:
    // The steps told as the answers come.
    class Narration;

    // The verdict on the whole image, past the EEPROM's progress; nothing when none came.
    std::optional<stage::Answer> awaitVerdict(std::optional<stage::Answer> answer, Narration& told);
    StageOutcome settle(const stage::Answer& verdict, Narration& told);
    StageOutcome proven(std::uint32_t crc, Narration& told);
    // The message until the stage answers it as it answers go: true once it has; false when it is
    // silent, or takes no such message now.
    bool finishWith(const std::vector<std::uint8_t>& message);
    // The line at the image's rate, proven there while the stage counts its delay down.
    void hearImage();
    // No answer came: the step under way failed, as the ROM's time-outs tell it.
    StageOutcome unheard(Narration& told, StageOutcome ramOutcome);

    StageLink& link_;
    StatusSink& status_;
    const StageImage& image_;
    LoadTarget target_;
    Timing timing_;
};

}  // namespace kestrup
