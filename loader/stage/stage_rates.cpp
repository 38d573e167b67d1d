#include "stage/stage_rates.h"

#include <algorithm>
#include <string>
#include <utility>

namespace kestrup {
namespace {

bool contains(const std::vector<int>& rates, int rate) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

}  // namespace

bool crystalPays(std::int64_t rcHz, std::int64_t pllHz) {
    const int onPll = stage::chipsOwnBaud(pllHz);
    const int fast = stage::fastBaud(rcHz);
    // Bit times a byte over the rate: 10 with the fast receiver's one stop bit, else 11.
    const double rcByte = std::min(fast != 0 ? 10.0 / fast : 1.0, 11.0 / std::max(stage::chipsOwnBaud(rcHz), 1));
    return onPll != 0 && 11.0 / onPll < rcByte;
}

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
    std::vector<int> rates;
    const int own = stage::chipsOwnBaud(chipHz_);
    if (plan_.judged)
        for (const int rate : {fast_, own})
            if (rate != 0 && !contains(rates, rate)) rates.push_back(rate);
    // The ladder's standard rates below them, for ports that make none of the adapter's.
    for (const int rate : plan_.ladder)
        if (!plan_.judged || rate < own) rates.push_back(rate);
    // The stage answered at the contact's rate.
    if (!contains(rates, contact)) rates.push_back(contact);
    return rates;
}

bool StageRates::tooFast(int rate) const {
    return plan_.judged && chipHz_ * 4 < std::int64_t{rate} * stage::minQuarterClocksPerBit && rate != fast_;
}

int StageRates::fastest() const {
    return fast_ != 0 ? fast_ : stage::chipsOwnBaud(chipHz_);
}

int StageRates::firstRate(int contact) const {
    // A contact at the bootstrap's rate was at an adapter rate, as the candidates are.
    if (plan_.judged && contact == fastest()) return 0;
    const auto rates = candidates(contact);
    const std::size_t at = nextToTry(rates, 0, contact);
    return at < rates.size() && rates[at] != contact ? rates[at] : 0;
}

std::size_t StageRates::nextToTry(const std::vector<int>& rates, std::size_t from, int contact) const {
    while (from < rates.size() && rates[from] != contact && tooFast(rates[from])) ++from;
    return from;
}

bool StageRates::choose(int sentAhead) {
    contact_ = link_.baud();
    rates_ = candidates(contact_);
    untried_ = false;
    if (plan_.judged && contact_ == fastest()) return true;
    return moveFrom(0, sentAhead);
}

bool StageRates::moveFrom(std::size_t first, int sentAhead) {
    for (at_ = nextToTry(rates_, first, contact_); at_ < rates_.size(); at_ = nextToTry(rates_, at_ + 1, contact_)) {
        const int rate = rates_[at_];
        if (rate == contact_) return true;
        // Only the first rate tried can be the one sent ahead; any later answer to it is stale.
        const Step step = stepTo(rate, std::exchange(sentAhead, 0) == rate);
        if (step == Step::stageLost) return false;
        if (step == Step::portRefused) continue;
        untried_ = true;
        return true;
    }
    return false;
}

bool StageRates::unheard() {
    untried_ = false;
    const int rate = link_.baud();
    // A stage that heard the line at another rate than asked, made so by the port, answered there,
    // unread, and takes the next sync by that rate's floor: the contact's floor is asked for at it,
    // and its answer awaited, so that the stage is listening again before anything follows. Answered
    // here, the stage hears this rate, and only the begin's answer was lost: the begin once more.
    const auto back =
        link_.exchange(stage::frame({}, stage::rateTrailer(static_cast<std::uint32_t>(2 * chipHz_ / contact_))));
    if (back && back->code == stage::answer::rate && !retried_) {
        retried_ = true;
        untried_ = true;
        return true;
    }
    link_.moveTo(contact_);
    // Begun, the stage heard the begin: its answer was lost on the way, or read as noise where the
    // port made another rate. The rate once more; a second time, the next one.
    auto where = link_.exchange(stage::frame({}, stage::queryTrailer()));
    if (!where) where = link_.recover(0);
    if (!where) return false;
    if (where->code == stage::answer::begun && !retried_) {
        retried_ = true;
        const Step step = stepTo(rate);
        if (step == Step::stageLost) return false;
        untried_ = step == Step::moved;
        if (untried_) return true;
    }
    retried_ = false;
    status_.statusLine("Second stage: " + std::to_string(rate) + " baud unheard");
    return moveFrom(at_ + 1);
}

StageRates::Step StageRates::stepTo(int rate, bool sentAhead) {
    // Sent ahead and its answer lost: asked again, as any message is.
    if (!(sentAhead && link_.rateAnswered(rate, chipHz_)) && !link_.askRate(rate, chipHz_)) return Step::stageLost;
    return link_.moveTo(rate) ? Step::moved : Step::portRefused;
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
