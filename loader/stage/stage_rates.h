#pragma once
// One load's rates with the second stage (second_stage.h): the fastest the chip's clock, the
// stage's receiver and the port all hold, chosen once the first hello has given the clock, each one
// an FTDI adapter makes exactly; the next at once when the stage does not hear one, and the next
// slower one when a packet keeps failing.

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

// Whether the image goes sooner on its crystal's PLL at pllHz than on the RC clock at rcHz: the
// fastest rate of the one against the other's (the RC clock's fast receiver takes a stop bit less).
bool crystalPays(std::int64_t rcHz, std::int64_t pllHz);

class StageRates {
public:
    StageRates(StageLink& link, StatusSink& status, const RatePlan& plan, std::int64_t chipHz, LoadTarget target);

    // From the contact's rate, the line's as it begins, to the fastest candidate the stage took the
    // rate message for and the port makes; false when the stage is lost. `sentAhead`: the rate whose
    // message went already. Whether the stage hears the
    // line there, the next message's answer tells: untried() until heard() or unheard().
    bool choose(int sentAhead = 0);
    // The rate choose() moves to first from `contact`, were the port to make it: its rate message
    // may go ahead, behind the stage's first hello (choose(sentAhead) then awaits its answer). 0
    // where choose() stays.
    int firstRate(int contact) const;
    bool untried() const { return untried_; }
    void heard() { untried_ = false; }
    // A message at the new rate went unanswered: the next candidate at once, by way of the contact's
    // rate; false when there is none or the stage is lost.
    bool unheard();
    // The rest of the load one rate slower; false when there is none or the stage is lost.
    bool stepDown();

private:
    enum class Step {
        moved,        // the stage took the rate message and the line is at the rate
        portRefused,  // the stage took it, and the port will not make the rate
        stageLost,    // the stage answered neither it nor a query
    };

    // The rates to try, fastest first: the fast receiver's and the chip's own, those the ladder has
    // below them, and the contact's as the last resort.
    std::vector<int> candidates(int contact) const;
    // Below the slowest rate a receiver of the stage takes.
    bool tooFast(int rate) const;
    // From `from` on, the first of `rates` the line moves to or stays at: one a receiver of the
    // stage takes, or the contact's. rates.size() where there is none.
    std::size_t nextToTry(const std::vector<int>& rates, std::size_t from, int contact) const;
    Step stepTo(int rate, bool sentAhead = false);
    // The first candidate from `first` on that the line moves to.
    bool moveFrom(std::size_t first, int sentAhead = 0);
    // The rate the fastest receiver the load has takes.
    int fastest() const;

    StageLink& link_;
    StatusSink& status_;
    const RatePlan& plan_;
    std::int64_t chipHz_;
    // The RAM build's 12 clocks a bit (0 for the EEPROM build, which lacks that receiver, and where
    // no adapter rate lies close enough).
    int fast_;
    std::vector<int> rates_;
    int contact_ = 0;
    std::size_t at_ = 0;
    bool untried_ = false;
    // The rate was heard once and its answer not: it has had its second chance.
    bool retried_ = false;
};

}  // namespace kestrup
