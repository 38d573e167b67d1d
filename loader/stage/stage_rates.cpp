#include "stage/stage_rates.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace kestrup {
namespace {

// Within 10% of the width expected.
bool near(double width, double expected) {
    return width > expected * 0.9 && width < expected * 1.1;
}

bool contains(const std::vector<int>& rates, int rate) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

}  // namespace

StageRates::StageRates(StageLink& link, StatusSink& status, const RatePlan& plan, std::int64_t chipHz,
                       LoadTarget target)
    : link_(link),
      status_(status),
      plan_(plan),
      chipHz_(chipHz),
      fast_(target == LoadTarget::ram ? stage::fastBaud(chipHz) : 0) {
    link_.setOneStopRate(fast_);
}

std::vector<int> StageRates::candidates(int contact) const {
    std::vector<int> rates = plan_.ladder;
    // The chip's own fastest rate first, above the ladder's top too, where it is none of its rates:
    // an adapter that cannot make it makes another, which the stage's width tells.
    const int own = stage::chipsOwnBaud(chipHz_);
    if (plan_.judged)
        for (const int rate : {fast_ != 0 ? fast_ : own, own})
            if (!contains(rates, rate))
                rates.insert(std::find_if(rates.begin(), rates.end(), [rate](int r) { return r < rate; }), rate);
    // The stage answered at the contact's rate.
    if (!contains(rates, contact)) rates.push_back(contact);
    return rates;
}

bool StageRates::tooFast(int rate) const {
    return plan_.judged && static_cast<double>(chipHz_) / rate < stage::minClocksPerBit && rate != fast_;
}

bool StageRates::choose() {
    const int contact = link_.baud();
    rates_ = candidates(contact);
    // A contact at the bootstrap's rate was at the chip's own: a sync of 64 clocks there times the
    // clock no closer than 1 in 64.
    const int fastest = fast_ != 0 ? fast_ : stage::chipsOwnBaud(chipHz_);
    if (plan_.judged && std::abs(contact - fastest) <= fastest / 50) return true;
    for (const int rate : rates_) {
        if (rate == contact) return true;
        if (tooFast(rate)) continue;
        const Step step = stepTo(rate);
        if (step == Step::stageLost) return false;
        if (step == Step::portRefused) continue;
        const Probe probed = probe(rate);
        if (probed == Probe::kept) return true;
        if (!comeBack(contact, probed)) return false;
    }
    return false;
}

StageRates::Step StageRates::stepTo(int rate) {
    if (!link_.askRate(rate, chipHz_)) return Step::stageLost;
    return link_.moveTo(rate) ? Step::moved : Step::portRefused;
}

StageRates::Probe StageRates::probe(int rate) {
    const double clocksPerBit = static_cast<double>(chipHz_) / rate;
    for (int tries = 0; tries < StageLink::triesPerMessage; ++tries) {
        const auto answer = link_.exchange(stage::helloFrame());
        // Refused for its check: the stage takes this rate and heard a byte damaged; once more.
        if (answer && answer->code == stage::answer::notTaken) continue;
        // An answer at this rate is this hello's (earlier ones went at the contact's rate, which
        // reads as no answer here): a width other than the rate's is the adapter making another.
        if (answer)
            return answer->code == stage::answer::hello && (!plan_.judged || near(answer->value, 4 * clocksPerBit))
                       ? Probe::kept
                       : Probe::otherRate;
        // Silence may be a byte of the hello lost: when the stage answers a query at this rate,
        // it hears it, and the hello goes once more.
        if (!link_.recover(0)) return Probe::unheard;
    }
    return Probe::unheard;
}

bool StageRates::comeBack(int contact, Probe probed) {
    // The stage answered at the rate the adapter made and takes its syncs as the floor's measure,
    // so the way back is asked for there.
    if (probed == Probe::otherRate) link_.askRate(contact, chipHz_);
    link_.moveTo(contact);
    return probed == Probe::otherRate || link_.recover(0).has_value();
}

bool StageRates::stepDown() {
    for (const int slower : rates_) {
        if (slower >= link_.baud() || tooFast(slower)) continue;
        // The next packet's sync, longer than the last, would be taken anyway; the rate message
        // keeps the stage's floor the host's to set.
        const Step step = stepTo(slower);
        if (step == Step::stageLost) return false;
        if (step == Step::portRefused) continue;
        status_.statusLine("Second stage: down to " + std::to_string(link_.baud()) + " baud");
        return true;
    }
    return false;
}

}  // namespace kestrup
