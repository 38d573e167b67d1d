#include "line.h"

#include <charconv>
#include <utility>

namespace kestrup::sim {

FrameBits decodeFrame(std::uint8_t byte) {
    // Line levels of the frame, start bit first; the stop bits end every low pulse inside it.
    std::array<int, bitsPerFrame> level{};
    level[0] = 0;
    for (int i = 0; i < 8; ++i) level[static_cast<std::size_t>(i + 1)] = (byte >> i) & 1;
    level[9] = level[10] = 1;

    FrameBits result;
    int run = 0;
    for (const int l : level) {
        if (l == 0) {
            ++run;
            continue;
        }
        if (run == 0) continue;
        if (run > 2) {
            result.framingError = true;
            return result;
        }
        result.bits[static_cast<std::size_t>(result.count++)] = run == 1 ? 1 : 0;
        run = 0;
    }
    return result;
}

namespace {

std::optional<int> wholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 1) return std::nullopt;
    return value;
}

}  // namespace

std::optional<LineFault> parseLineFault(const std::string& text) {
    std::vector<std::string_view> parts;
    std::string_view rest = text;
    for (std::size_t colon; (colon = rest.find(':')) != std::string_view::npos; rest.remove_prefix(colon + 1))
        parts.push_back(rest.substr(0, colon));
    parts.push_back(rest);
    if (parts.size() != 4) return std::nullopt;
    LineFault fault;
    if (parts[0] != "to-chip" && parts[0] != "to-host") return std::nullopt;
    fault.way = parts[0] == "to-chip" ? LineWay::toChip : LineWay::toHost;
    if (parts[1] != "any") {
        fault.baud = wholeNumber(parts[1]);
        if (!fault.baud) return std::nullopt;
    }
    const auto nth = wholeNumber(parts[2]);
    if (!nth || (parts[3] != "drop" && parts[3] != "flip")) return std::nullopt;
    fault.nth = *nth;
    fault.drop = parts[3] == "drop";
    return fault;
}

LineFaults::LineFaults(std::vector<LineFault> faults) : faults_(std::move(faults)), seen_(faults_.size(), 0) {}

std::optional<std::uint8_t> LineFaults::pass(LineWay way, int hostBaud, std::uint8_t byte) {
    bool lost = false;
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const LineFault& f = faults_[i];
        if (f.way != way || (f.baud && *f.baud != hostBaud)) continue;
        if (++seen_[i] != f.nth) continue;
        if (f.drop)
            lost = true;
        else
            byte ^= 0x08;
    }
    if (lost) return std::nullopt;
    return byte;
}

}  // namespace kestrup::sim
