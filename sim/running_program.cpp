#include "running_program.h"

namespace kestrup::sim {

std::vector<std::uint8_t> misread(std::span<const std::uint8_t> bytes, int sentBaud, int readBaud) {
    // Time counts in units of 1 / (2 * sentBaud * readBaud) s, so that both bit-times and the
    // middle of a read bit are whole numbers.
    const std::int64_t sentBit = 2 * std::int64_t{readBaud};
    const std::int64_t readBit = 2 * std::int64_t{sentBaud};
    const auto frames = static_cast<std::int64_t>(bytes.size());
    const auto level = [&](std::int64_t t) {
        const std::int64_t bit = t / sentBit;
        const std::int64_t frame = bit / 10;
        const std::int64_t index = bit % 10;
        if (frame >= frames || index == 9) return 1;  // idle after the last frame, or a stop bit
        if (index == 0) return 0;
        return (bytes[static_cast<std::size_t>(frame)] >> (index - 1)) & 1;
    };
    std::vector<std::uint8_t> read;
    const std::int64_t end = frames * 10 * sentBit;
    std::int64_t t = 0;
    while (t < end) {
        if (level(t) == 1) {
            // The line changes only where a sent bit begins.
            t = (t / sentBit + 1) * sentBit;
            continue;
        }
        const std::int64_t middle = t + readBit / 2;
        if (level(middle) == 1) {
            // High again by the middle of the start bit: noise, not a frame.
            t = middle;
            continue;
        }
        int value = 0;
        for (int k = 0; k < 8; ++k) value |= level(middle + (k + 1) * readBit) << k;
        read.push_back(static_cast<std::uint8_t>(value));
        // The search for the next start bit begins once the stop bit has been sampled.
        t = middle + 9 * readBit;
    }
    return read;
}

std::vector<std::uint8_t> RunningProgram::step(const ChipModel& model, std::optional<std::uint8_t> byte, Micros at,
                                               int hostBaud) {
    if (kind_ == ProgramKind::none) return {};
    const SessionRecord* session = model.current();
    if (session && session->number != session_) {
        // The chip was reset for another session: whatever ran has gone. A session that runs is
        // a new program, which greets once it has started.
        running_ = session->state == ChipState::running;
        session_ = running_ ? session->number : session_;
        greetingDue_.reset();
        if (running_) greetingDue_ = at + programStartDelay;
        return {};
    }
    if (!running_) return {};
    std::vector<std::uint8_t> sent;
    if (greetingDue_ && at >= *greetingDue_) {
        greetingDue_.reset();
        sent.assign(echoGreeting.begin(), echoGreeting.end());
    }
    // Bytes that come while the program is still starting are lost, as on a board.
    if (byte && !greetingDue_) {
        const std::uint8_t host[] = {*byte};
        for (const std::uint8_t b : misread(host, hostBaud, baud_)) sent.push_back(b);
    }
    return misread(sent, baud_, hostBaud);
}

}  // namespace kestrup::sim
