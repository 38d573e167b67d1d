// The simulated second stage where it goes beyond the transcripts the chip answers too
// (conformance_test.cpp): its receiver on a host clock hours after boot, the session's faults and
// record, and the EEPROM's pages as the session keeps them. Driven with invented times and messages
// framed here; answers are written out as code, value and, when not 0, "/packet"; their check is
// verified here.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stage_model.h"

namespace kestrup::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Longs = std::vector<std::uint32_t>;

constexpr Micros ms = 1000;

// The CRC register after bytes, uncomplemented.
std::uint32_t crcAfter(std::uint32_t crc, const Bytes& bytes) {
    for (const std::uint8_t b : bytes)
        for (int i = 0; i < 8; ++i) crc = ((crc ^ (b >> i)) & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    return crc;
}

std::uint32_t crc32(const Bytes& bytes) {
    return ~crcAfter(0xFFFFFFFF, bytes);
}

void put(Bytes& bytes, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Sync, length byte (the data's unless told), data, trailer, check; with data, the check goes on from
// the image's CRC register before it.
Bytes message(std::uint32_t trailer, const Longs& data = {}, std::optional<std::uint8_t> length = {},
              std::uint32_t crcBefore = 0xFFFFFFFF) {
    Bytes body;
    for (const std::uint32_t v : data) put(body, v);
    put(body, trailer);
    put(body, ~crcAfter(data.empty() ? 0xFFFFFFFF : crcBefore, body));
    body.insert(body.begin(), {0xF8, length.value_or(static_cast<std::uint8_t>(data.size()))});
    return body;
}

Bytes begin(std::uint32_t longs, std::uint8_t flags = 0) {
    return message('B' | flags << 8 | longs << 16);
}

Bytes packet(const Longs& longs, std::uint32_t k) {
    const auto from = longs.begin() + 255 * k;
    const Longs data(from, from + std::min<std::ptrdiff_t>(255, longs.end() - from));
    Bytes before;
    for (auto at = longs.begin(); at != from; ++at) put(before, *at);
    return message('D' | k << 8 | static_cast<std::uint32_t>(longs.size()) << 16, data, {},
                   crcAfter(0xFFFFFFFF, before));
}

// A header-only image that sums right with its stack markers (dbase 0x0018), then longs whose four
// bytes sum to 0 mod 256, each different, so that a long out of place shows.
Longs image(std::size_t longs, std::uint8_t checksum = 0xDC, std::uint16_t pbase = 0x0010) {
    Longs out{0, std::uint32_t{pbase} << 16 | std::uint32_t{checksum} << 8, 0x0018'0010, 0};
    for (std::uint32_t i = 4; i < longs; ++i) {
        const std::uint32_t a = i & 0xFF, b = i >> 8;
        out.push_back(a | ((0x100 - a) & 0xFF) << 8 | b << 16 | ((0x100 - b) & 0xFF) << 24);
    }
    return out;
}

// The host's end of the line to a stage listening from the start; bytes go back to back at `baud`.
struct StageLine {
    explicit StageLine(StageBuild build = StageBuild::ram, ChipConfig chip = {}) : config(std::move(chip)) {
        eeprom.fill(0xFF);
        restart(build);
    }
    // Another start of the stage, on the same EEPROM.
    void restart(StageBuild build) {
        session = SessionRecord{};
        session.state = ChipState::stage;
        session.stage = StageRecord{};
        session.stage->build = build;
        stage.emplace(build, static_cast<Micros>(now), config.timing, config.faults, eeprom);
    }

    // The bytes after `pause` of quiet; the answers in the `window` after the last, the end of
    // which is then the time.
    std::string send(const Bytes& bytes, double pause = 1 * ms, Micros window = 5 * ms) {
        now += pause;
        for (const std::uint8_t b : bytes) {
            now += 11e6 / baud;
            stage->receive(b, static_cast<Micros>(now), baud, session);
        }
        return answersBy(static_cast<Micros>(now) + window);
    }
    std::string await(Micros window) {
        now += static_cast<double>(window);
        return answersBy(static_cast<Micros>(now));
    }
    std::string answersBy(Micros time) {
        now = std::max(now, static_cast<double>(time));
        const Bytes raw = stage->due(time, session);
        std::string text;
        for (std::size_t i = 0; i + 8 <= raw.size(); i += 8) {
            const Bytes a(raw.begin() + static_cast<std::ptrdiff_t>(i),
                          raw.begin() + static_cast<std::ptrdiff_t>(i) + 6);
            const std::uint32_t value = a[2] | a[3] << 8 | a[4] << 16 | std::uint32_t{a[5]} << 24;
            text += (text.empty() ? "" : " ") + std::string(1, static_cast<char>(a[0]));
            text += (crc32(a) & 0xFFFF) == (raw[i + 6] | std::uint32_t{raw[i + 7]} << 8) ? std::to_string(value) : "?";
            if (a[1] != 0) text += "/" + std::to_string(a[1]);
        }
        return text + (raw.size() % 8 ? " +" + std::to_string(raw.size() % 8) : "");
    }

    ChipConfig config;
    Ram eeprom{};
    SessionRecord session;
    std::optional<StageModel> stage;
    double now = 1 * ms;
    int baud = 115200;
};

const Bytes hello = message('U');
const Bytes query = message('Q');

// The host's monotonic clock after hours of uptime, whose microseconds in a double round the bits'
// arithmetic: the receiver still finds every edge, and hangs on none.
TEST(StageReceiver, HoursOfUptimeMoveNoEdge) {
    StageLine line;
    line.now = 18'422'395'857.674129;
    line.restart(StageBuild::ram);
    EXPECT_EQ(line.send(hello), "H417");
    EXPECT_EQ(line.send(message('R' | 40 << 8)), "R40");
    line.baud = 750600;
    EXPECT_EQ(line.send(hello), "H64");
}

// The session's fault: the packet it names arrives damaged once, is refused, and is taken when sent
// again. (Every answer the stage gives is held to the chip's by the transcripts in
// tests/conformance/, conformance_test.cpp.)
TEST(StageLoad, APacketTheSessionDamagesIsRefusedOnceThenTaken) {
    const Longs longs = image(600);
    ChipConfig config;
    config.faults.damagedPacket = 1;
    StageLine line(StageBuild::ram, config);
    EXPECT_EQ(line.send(begin(600)), "B600");
    EXPECT_EQ(line.send(packet(longs, 0)), "A1");
    EXPECT_EQ(line.send(packet(longs, 1)), "N1/1");
    EXPECT_EQ(line.send(packet(longs, 1)), "A2/1");
    EXPECT_EQ(line.send(packet(longs, 2), 1 * ms, 30 * ms).substr(0, 5), "A3/2 ");
    EXPECT_EQ(line.session.longs, longs);
}

TEST(StageEeprom, WritesEveryPageTheHeadersLastThenRunsOrShutsDown) {
    ChipConfig config;
    config.timing.programTime = 512 * ms;  // a millisecond a page to write, one to read back
    config.timing.verifyTime = 512 * ms;
    const std::uint8_t run = 1 | 2 | 12 << 2, programOnly = 1 | 12 << 2;
    const Longs longs = image(4);
    std::string allPages;
    for (int page = 0; page < 512; page += 16) allPages += "p" + std::to_string(page) + " ";
    const Ram picture = ramPicture(longs);
    const std::string verdict = "V" + std::to_string(crc32(Bytes(picture.begin(), picture.end())));

    StageLine ram;
    EXPECT_EQ(ram.send(begin(4, run)), "b4");  // the RAM build has no EEPROM code

    // One packet leaves no page to write while it comes: all 512 once it is in, told from page 0.
    StageLine line(StageBuild::eeprom, config);
    EXPECT_EQ(line.send(begin(4, run)), "B4");
    EXPECT_EQ(line.send(packet(longs, 0), 1 * ms, 1100 * ms), "A1 " + allPages + "E512 " + verdict);
    EXPECT_EQ(line.session.command, 3u);
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), line.eeprom.begin()));
    EXPECT_EQ(line.send(message('G')), "G0");
    EXPECT_EQ(line.session.state, ChipState::running);

    // The same again, to program only: nothing is compared first, every page is written again.
    line.restart(StageBuild::eeprom);
    EXPECT_EQ(line.send(begin(4, programOnly)), "B4");
    EXPECT_EQ(line.send(packet(longs, 0), 1 * ms, 1100 * ms), "A1 " + allPages + "E512 " + verdict);
    EXPECT_EQ(line.send(message('G')), "G0");
    EXPECT_EQ(line.session.state, ChipState::shutdown);
    EXPECT_EQ(line.session.command, 2u);
}

TEST(StageEeprom, AFailedPageIsNamedOnceTheImageIsInAndTheHeadersPageKept) {
    ChipConfig faulty;
    faulty.timing.programTime = 512 * ms;
    faulty.timing.verifyTime = 512 * ms;
    faulty.faults.programFails = true;
    const std::uint8_t run = 1 | 2 | 12 << 2;

    // Page 1, the first written, is not acknowledged once the image is in: that verdict, after the
    // pages told so far.
    const Longs small = image(4);
    StageLine after(StageBuild::eeprom, faulty);
    EXPECT_EQ(after.send(begin(4, run)), "B4");
    EXPECT_EQ(after.send(packet(small, 0), 1 * ms, 100 * ms), "A1 p0 e1");
    EXPECT_EQ(after.send(query), "e1");
    EXPECT_EQ(after.eeprom[5], 0xFF);

    // While the image comes: the failure waits for the whole image, which then tells it alone. Its
    // stack markers above it, as a compiler puts them, and the sum made right again.
    Longs big = image(600);
    big[2] = 600 * 4 | (600 * 4 + 8) << 16;
    big[1] &= ~0xFF00u;
    unsigned sum = 0;
    for (const std::uint8_t b : ramPicture(big)) sum += b;
    big[1] |= (0x100 - sum % 0x100) % 0x100 << 8;
    StageLine during(StageBuild::eeprom, faulty);
    EXPECT_EQ(during.send(begin(600, run)), "B600");
    EXPECT_EQ(during.send(packet(big, 0), 1 * ms, 50 * ms), "A1");
    EXPECT_EQ(during.send(packet(big, 1), 1 * ms, 50 * ms), "A2/1");
    EXPECT_EQ(during.send(packet(big, 2), 1 * ms, 100 * ms), "A3/2 e1");
    EXPECT_EQ(during.send(message('G')), "G0");
    EXPECT_EQ(during.session.state, ChipState::shutdown);
    EXPECT_EQ(during.eeprom[5], 0xFF);
}

}  // namespace
}  // namespace kestrup::sim
