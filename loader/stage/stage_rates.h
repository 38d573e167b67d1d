#pragma once
// One load's rates with the second stage (second_stage.h): the fastest the chip's clock, the
// stage's receiver and the port all hold, chosen once the first hello has given the clock, and the
// next slower one when a packet keeps failing.

#include <cstdint>
#include <vector>

#include "base/status_sink.h"
#include "events/load_events.h"
#include "stage/stage_link.h"

namespace kestrup {

// Which rates a load tries: the ladder, and whether the chip's clock rules some out and adds its own.
struct RatePlan {
    std::vector<int> ladder;
    // False: each rate of the ladder is tried whatever the chip's clock (for tests of one rate).
    bool judged = true;
};

class StageRates {
public:
    StageRates(StageLink& link, StatusSink& status, const RatePlan& plan, std::int64_t chipHz, LoadTarget target);

    // From the contact's rate, the line's as it begins, to the fastest the stage answers at; false when the
    // stage is lost.
    bool choose();
    // The rest of the load one rate slower; false when there is none or the stage is lost.
    bool stepDown();

private:
    enum class Step {
        moved,        // the stage took the rate message and the line is at the rate
        portRefused,  // the stage took it, and the port will not make the rate
        stageLost,    // the stage answered neither it nor a query
    };
    // What a hello at a new rate brought back.
    enum class Probe {
        kept,       // its answer, with the rate's width: the image goes here
        otherRate,  // an answer of another width: the adapter makes another rate than asked
        unheard,    // none, the stage's answer to a query neither
    };

    // The rates to try, fastest first: the ladder, the chip's own and the fast receiver's, and the
    // contact's as the last resort.
    std::vector<int> candidates(int contact) const;
    // Below the slowest rate a receiver of the stage takes.
    bool tooFast(int rate) const;
    Step stepTo(int rate);
    Probe probe(int rate);
    // Back to the contact's rate after a probe there was no keeping; false when the stage is lost.
    bool comeBack(int contact, Probe probed);

    StageLink& link_;
    StatusSink& status_;
    const RatePlan& plan_;
    std::int64_t chipHz_;
    // The RAM build's 12 clocks a bit, 0 for the EEPROM build, which lacks that receiver.
    int fast_;
    std::vector<int> rates_;
};

}  // namespace kestrup
