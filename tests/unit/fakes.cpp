#include "fakes.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace kestrup::test {

PortOpen FakePort::open(const std::string& device) {
    ++opens;
    note("open " + device);
    if (isOpen) return PortOpen::failed(OpenFailure::busy);
    if (std::find(existing.begin(), existing.end(), device) == existing.end())
        return PortOpen::failed(OpenFailure::missing);
    isOpen = true;
    openedDevice = device;
    return PortOpen::opened();
}

void FakePort::setDtr(bool asserted) {
    note(asserted ? "dtr on" : "dtr off");
    if (!asserted && onReset) onReset();
}

void FakePort::setRts(bool asserted) {
    note(asserted ? "rts on" : "rts off");
}

void FakePort::purgeReceive() {
    ++purges;
    note("purge");
    pending.clear();
}

std::optional<std::size_t> FakePort::write(std::span<const std::uint8_t> bytes) {
    writes.emplace_back(bytes.begin(), bytes.end());
    note("write " + std::to_string(bytes.size()));
    std::optional<std::size_t> result = bytes.size();
    if (!writeResults.empty()) {
        result = writeResults.front();
        writeResults.pop_front();
    }
    const std::size_t delivered = result ? std::min(*result, bytes.size()) : 0;
    written.insert(written.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(delivered));
    if (onWrite && delivered > 0) onWrite(bytes.first(delivered));
    return result;
}

std::optional<std::size_t> FakePort::read(std::span<std::uint8_t> into) {
    ++reads;
    if (onRead) onRead();
    std::size_t n = std::min({into.size(), pending.size(), readLimit});
    if (!readResults.empty()) {
        const auto scripted = readResults.front();
        readResults.pop_front();
        if (!scripted) return std::nullopt;
        n = std::min(n, *scripted);
    }
    for (std::size_t i = 0; i < n; ++i) {
        into[i] = pending.front();
        pending.pop_front();
    }
    return n;
}

void FakePort::close() {
    ++closes;
    note("close");
    isOpen = false;
}

bool FakePort::setBaud(int baud) {
    note("baud " + std::to_string(baud));
    if (std::find(refusedBauds.begin(), refusedBauds.end(), baud) != refusedBauds.end()) return false;
    bauds.push_back(baud);
    return true;
}

bool FakePort::setStopBits(int bits) {
    note("stop bits " + std::to_string(bits));
    stopBitsSet.push_back(bits);
    return true;
}

void FakePort::drain() {
    ++drains;
    note("drain");
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char cell[4];
    for (const auto b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        out += cell;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

SimulatedBoard::SimulatedBoard(FakePort& port, Clock& clock, sim::ChipConfig config) : chip_(std::move(config)) {
    port.onWrite = [this, &port, &clock](std::span<const std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes) port.queueReply(chip_.receive(byte, clock.nowMicros()));
    };
    port.onReset = [this] { chip_.reset(); };
}

void SimulatedBoard::carryAtPortRate(FakePort& port, Clock& clock) {
    port.onWrite = [this, &port, &clock](std::span<const std::uint8_t> bytes) {
        const int baud = port.bauds.empty() ? sim::baudRate : port.bauds.back();
        for (const std::uint8_t byte : bytes) {
            lineFree_ = std::max(lineFree_, clock.nowMicros()) + sim::bitsPerFrame * 1'000'000 / baud;
            port.queueReply(chip_.receive(byte, lineFree_, baud));
        }
    };
    port.onRead = [this, &port, &clock] { port.queueReply(chip_.answersDue(clock.nowMicros())); };
}

void SimulatedBoard::replace(sim::ChipConfig config) {
    chip_.finish();
    sessions();
    chip_ = sim::ChipModel(std::move(config));
}

std::vector<sim::SessionRecord> SimulatedBoard::sessions() {
    for (auto& s : chip_.takeEnded()) ended_.push_back(std::move(s));
    std::vector<sim::SessionRecord> all = ended_;
    if (chip_.current()) all.push_back(*chip_.current());
    return all;
}

sim::SessionRecord SimulatedBoard::last() {
    auto all = sessions();
    return all.empty() ? sim::SessionRecord{} : all.back();
}

}  // namespace kestrup::test
