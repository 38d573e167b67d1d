// Whatever a serial line delivers, the handshake and the image load end within their budgets and
// never touch memory outside their buffers.
//
// Input: a control byte, then the reply stream. Control bit 0: a well-behaved chip's 258
// handshake replies go first, so that the image load's acknowledgement is reached too; bits 1-3:
// how many bytes a read delivers at most (1..8, times 32); bit 4: every third write fails; bit 5:
// every fifth write is short.

#include <cstdlib>

#include "fakes.h"
#include "rom/loader_protocol.h"

using namespace kestrup;

namespace {

// A reply bit wait spends its window in steps of 10 ms, or 35 ms with a clock byte.
constexpr std::int64_t handshakeBudgetMs = 250 * 100 + 8 * 50;
constexpr std::int64_t acknowledgeBudgetMs = 2500 + 35;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    test::FakePort port;
    test::VirtualClock clock;
    test::RecordingConsole console;
    SerialLink link(port, clock, console);
    LoaderProtocol protocol(link, console);
    port.existing = {comDeviceName(1)};
    check(static_cast<bool>(link.open(PortAddress::com(1))));

    if (control & 1) {
        Lfsr lfsr;
        for (int i = 0; i < 250; ++i) lfsr.step();
        for (int i = 0; i < 250; ++i) port.pending.push_back(static_cast<std::uint8_t>(0xFE | lfsr.step()));
        for (int i = 0; i < 8; ++i) port.pending.push_back(i == 0 ? 0xFF : 0xFE);  // version 1
    }
    port.pending.insert(port.pending.end(), data + 1, data + size);
    port.readLimit = 32u * (((control >> 1) & 7u) + 1u);
    int writes = 0;
    port.onWrite = [&](std::span<const std::uint8_t>) {};
    for (int i = 0; i < 200; ++i) {
        ++writes;
        std::optional<std::size_t> result = std::size_t{4096};
        if ((control & 0x10) && writes % 3 == 0) result = std::nullopt;
        if ((control & 0x20) && writes % 5 == 0) result = std::size_t{0};
        port.writeResults.push_back(result);
    }

    const auto start = clock.nowMs;
    const HandshakeResult handshake = protocol.handshake();
    check(clock.nowMs - start <= handshakeBudgetMs);
    // A version only when every bit came: one told short of its bits is a failure.
    check(!handshake.failure || handshake.version == 0);

    if (handshake.isChip()) {
        const std::vector<std::uint32_t> image(8, 0x01020304);
        const auto loadStart = clock.nowMs;
        protocol.imageLoad(32, image);
        check(clock.nowMs - loadStart <= acknowledgeBudgetMs);
    }
    return 0;
}
