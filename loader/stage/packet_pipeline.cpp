#include "stage/packet_pipeline.h"

#include <algorithm>
#include <string>
#include <utility>

#include "stage/second_stage.h"

namespace kestrup {
namespace {

// A packet read whole, accepted or refused (its check, or not the one expected); not one whose
// length the stage did not expect, which may have it counting still.
bool readWhole(const std::optional<stage::Answer>& answer) {
    return answer && (answer->code == stage::answer::accepted ||
                      (answer->code == stage::answer::notTaken && !isRefusal(*answer, stage::Refusal::length)));
}

}  // namespace

PacketPipeline::PacketPipeline(StageLink& link, StageRates& rates, StatusSink& status, LoadEvents* progress,
                               std::span<const std::uint32_t> longs)
    : link_(link),
      rates_(rates),
      status_(status),
      progress_(progress),
      longs_(longs),
      packets_((longs.size() + stage::packetLongs - 1) / stage::packetLongs),
      crcBefore_{stage::crcStart} {
    for (std::size_t k = 0; k + 1 < packets_; ++k)
        crcBefore_.push_back(
            stage::crcAfter(crcBefore_.back(), longs_.subspan(k * stage::packetLongs, stage::packetLongs)));
}

std::vector<std::uint8_t> PacketPipeline::packet(std::size_t k) const {
    const std::size_t first = k * stage::packetLongs;
    const auto data = longs_.subspan(first, std::min(stage::packetLongs, longs_.size() - first));
    auto bytes =
        stage::frame(data, stage::dataTrailer(static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(longs_.size())),
                     crcBefore_[k]);
    // Time for the stage's second cog to check it and order the receiver for the next.
    bytes.insert(bytes.end(), stage::streamGapBytes, 0xFF);
    return bytes;
}

std::size_t PacketPipeline::bytesOnLine() const {
    std::size_t bytes = 0;
    for (const std::size_t k : onLine_) bytes += packetBytes(k);
    return bytes;
}

std::size_t PacketPipeline::packetBytes(std::size_t k) const {
    const std::size_t longs = std::min(stage::packetLongs, longs_.size() - k * stage::packetLongs);
    return stage::frame({}, 0).size() + 4 * longs + stage::streamGapBytes;
}

void PacketPipeline::topUp() {
    // Behind the oldest packet, enough to last until its answer is in: the adapter's latency and the
    // answer's own time, a packet's more or less at any rate, so that the line never waits for an
    // answer. Two packets at the least, a window in time, not in packets.
    for (;;) {
        const std::size_t k = onLine_.empty() ? next_ : onLine_.back() + 1;
        if (k >= packets_) return;
        if (onLine_.size() >= stage::packetsOnLine &&
            link_.lineMs(bytesOnLine() - packetBytes(onLine_.front())) >= LoaderLine::adapterLatencyMs + 1)
            return;
        link_.write(packet(k));
        onLine_.push_back(k);
    }
}

std::optional<stage::Answer> PacketPipeline::nextAnswer() {
    const std::size_t oldest = onLine_.front();
    const int windowMs = 2 * link_.lineMs(bytesOnLine()) + StageLink::answerMarginMs;
    auto answer = link_.awaitAnswer(windowMs);
    if (answer && (answer->code == stage::answer::accepted || isVerdict(answer->code))) return answer;
    // Refused whole: the packet behind it on the line is answered as it passes, and the last answer
    // names the packet to go on from. Silence, or a length the stage did not expect: filler
    // completes whatever it is counting, and its answer to a query does.
    for (; readWhole(answer) && onLine_.size() > 1; onLine_.pop_front()) answer = link_.awaitAnswer(windowMs);
    if (!readWhole(answer)) answer = link_.recover(longs_.size() - oldest * stage::packetLongs);
    onLine_.clear();
    return answer;
}

std::optional<std::size_t> PacketPipeline::expectedAfter(const stage::Answer& answer) const {
    if (answer.code == stage::answer::accepted) return answer.value;
    if (answer.code == stage::answer::notTaken || answer.code == stage::answer::begun) return answer.packet;
    // The last packet's acceptance lost, or overtaken by the verdict on the whole image.
    if (isVerdict(answer.code)) return packets_;
    return std::nullopt;
}

bool PacketPipeline::goOnFrom(std::size_t expected) {
    const std::size_t before = std::exchange(next_, expected);
    if (next_ > before) {
        failures_ = 0;
        tellProgress(next_ * stage::packetLongs * 4);
        return true;
    }
    // A packet still on the line behind it is answered as it passes.
    if (!onLine_.empty()) return true;
    ++resends_;
    if (++failures_ % failuresPerRate != 0 || rates_.stepDown()) return true;
    status_.statusLine("Second stage: packet " + std::to_string(next_) + " failed at the slowest rate");
    return false;
}

void PacketPipeline::tellProgress(std::size_t bytes) const {
    if (progress_) progress_->on(Progress{bytes, longs_.size() * 4});
}

std::optional<stage::Answer> PacketPipeline::send() {
    link_.forget();
    for (;;) {
        topUp();
        const std::size_t oldest = onLine_.front();
        const auto answer = nextAnswer();
        if (!answer) {
            status_.statusLine("Second stage: lost at packet " + std::to_string(oldest));
            return std::nullopt;
        }
        const auto expected = expectedAfter(*answer);
        if (!expected) {
            status_.statusLine(std::string("Second stage: unexpected answer ") + answer->code);
            return std::nullopt;
        }
        while (!onLine_.empty() && onLine_.front() < *expected) onLine_.pop_front();
        if (*expected >= packets_) {
            tellProgress(longs_.size() * 4);
            return answer;
        }
        if (!goOnFrom(*expected)) return std::nullopt;
    }
}

}  // namespace kestrup
