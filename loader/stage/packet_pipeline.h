#pragma once
// One load's image to the second stage (second_stage.h), in packets, as many on the line as cover an
// answer's round trip through a USB adapter (two at the least): the next are on their way while the
// stage answers the one before, so that no packet waits for an answer. A packet refused, or an answer lost, has the
// host go on from the packet the stage names; a packet that fails twice has the rest of the load go one rate slower.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "base/status_sink.h"
#include "events/load_events.h"
#include "stage/stage_link.h"
#include "stage/stage_rates.h"

namespace kestrup {

class PacketPipeline {
public:
    // Failures of one packet before the rest of the load steps down one rate.
    static constexpr int failuresPerRate = 2;

    // `progress`, when given, is told after each packet the stage has accepted.
    PacketPipeline(StageLink& link, StageRates& rates, StatusSink& status, LoadEvents* progress,
                   std::span<const std::uint32_t> longs);

    // Every packet, until the stage has accepted the last: its answer to that one (or the verdict
    // that overtook it), or nothing when the stage was lost.
    std::optional<stage::Answer> send();
    // Packets sent again after a loss or a refusal.
    int resends() const { return resends_; }

private:
    // Packets on the line, from the one the stage expects, enough to cover an answer's round trip.
    void topUp();
    std::size_t bytesOnLine() const;
    std::size_t packetBytes(std::size_t k) const;
    std::vector<std::uint8_t> packet(std::size_t k) const;
    // The answer that says where the stage is, past a refusal of the packets on the line, or after
    // a recovery from silence; nothing when the stage is lost.
    std::optional<stage::Answer> nextAnswer();
    // The packet the stage expects after this answer.
    std::optional<std::size_t> expectedAfter(const stage::Answer& answer) const;
    // On from the packet the stage expects; false when it failed at the slowest rate.
    bool goOnFrom(std::size_t expected);
    void tellProgress(std::size_t bytes) const;

    StageLink& link_;
    StageRates& rates_;
    StatusSink& status_;
    LoadEvents* progress_;
    std::span<const std::uint32_t> longs_;
    std::size_t packets_;
    // Each packet's check goes on from the CRC of the packets before it.
    std::vector<std::uint32_t> crcBefore_;
    std::size_t next_ = 0;            // the packet the stage expects, as it last said
    std::deque<std::size_t> onLine_;  // packets sent whose answers are still to come, oldest first
    int failures_ = 0;
    int resends_ = 0;
};

}  // namespace kestrup
