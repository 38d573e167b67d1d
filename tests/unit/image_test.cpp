#include "image/image.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>

#include "image/image_file.h"

namespace kestrup {
namespace {

// A well-formed image of `bytes` bytes, its checksum byte set so that the chip's rule holds.
std::vector<std::uint8_t> image(std::size_t bytes) {
    std::vector<std::uint8_t> b(bytes, 0);
    for (std::size_t i = 16; i < bytes; ++i) b[i] = static_cast<std::uint8_t>(i * 7);
    auto put16 = [&b](std::size_t at, unsigned v) {
        b[at] = static_cast<std::uint8_t>(v);
        b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    b[0] = 0x00;
    b[1] = 0x1B;
    b[2] = 0xB7;
    b[3] = 0x00;  // 12 MHz
    b[4] = 0x6F;
    put16(6, 0x10);
    put16(8, static_cast<unsigned>(bytes));
    put16(10, static_cast<unsigned>(bytes + 8));
    put16(12, 0x18);
    put16(14, static_cast<unsigned>(bytes + 12));
    // Stack markers below dbase count where they land in RAM; a full image has them past it.
    unsigned sum = bytes + 8 <= 32768 ? 2 * (0xFF + 0xF9 + 0xFF + 0xFF) : 0;
    for (auto v : b) sum += v;
    b[5] = static_cast<std::uint8_t>(0x100 - sum % 256);
    return b;
}

TEST(ImageRules, RamSumHasTheMarkersWhereTheChipWritesThem) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> image;
        std::uint8_t sum;
    };
    // Header words: pbase 0x0010, vbase, dbase, pcurr 0x0018, dcurr 0x001C; a marker long adds 0xF6.
    const std::vector<Row> rows = {
        {"header only: markers at 16 and 20", {0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0x18, 0, 0x18, 0, 0x1C, 0}, 0x58},
        {"bytes past vbase are not loaded",
         {0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0x18, 0, 0x18, 0, 0x1C, 0, 0x55, 0x55, 0x55, 0x55},
         0x58},
        {"dbase 0x8008: both markers past the RAM",
         {0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0x08, 0x80, 0x18, 0, 0x1C, 0},
         0xDC},
        {"dbase 0x8006: one marker in the last long, the low address bits dropped",
         {0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0x06, 0x80, 0x18, 0, 0x1C, 0},
         0xD0},
        {"dbase 4: one marker wraps away, one replaces the clock long",
         {4, 3, 2, 1, 0, 0, 0x10, 0, 0x10, 0, 0x04, 0, 0x18, 0, 0x1C, 0},
         0x4E},
        {"dbase 16: the markers replace the header's last two longs",
         {0, 0, 0, 0, 0, 0, 0x10, 0, 0x10, 0, 0x10, 0, 0x18, 0, 0x1C, 0},
         0xFC},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(imageRamSum(row.image), row.sum) << row.name;
        auto sealed = row.image;
        sealImageChecksum(sealed);
        EXPECT_EQ(imageRamSum(sealed), 0) << row.name;
        EXPECT_EQ(sealed[5], static_cast<std::uint8_t>(0x100 - row.sum)) << row.name;
    }
}

TEST(ImageRules, TheUploadNeedsTheLengthWordAndTheLongsItNames) {
    struct Row {
        std::size_t fileBytes;
        std::uint16_t vbase;
        bool holds;
    };
    for (const Row& row : std::vector<Row>{{11, 0, false},
                                           {12, 12, true},
                                           {12, 16, false},
                                           {60, 64, false},
                                           {61, 64, true},
                                           {64, 64, true},
                                           {32768, 32768, true}})
        EXPECT_EQ(holdsItsLength(row.fileBytes, row.vbase), row.holds) << row.fileBytes << " " << row.vbase;
    const std::vector<std::uint32_t> longs{0, 0x00140000, 0xABCD2000, 0};
    const CheckedImage read = CheckedImage::of(longs, 16);
    EXPECT_EQ((std::array{read.length, read.pbase, read.dbase}), (std::array<std::uint16_t, 3>{0x2000, 0x14, 0xABCD}));
}

TEST(ImageRules, HeaderFieldsRoundTrip) {
    const std::vector<std::uint8_t> bytes = {0x00, 0xB4, 0xC4, 0x04, 0x6F, 0x3E, 0x10, 0x00,
                                             0x00, 0x20, 0x08, 0x20, 0x18, 0x00, 0x0C, 0x20};
    const auto h = readImageHeader(bytes);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->clockFrequency, 80'000'000u);
    EXPECT_EQ((h->clockMode << 8) | h->checksum, 0x6F3E);
    EXPECT_EQ(std::vector<unsigned>({h->pbase, h->vbase, h->dbase, h->pcurr, h->dcurr}),
              std::vector<unsigned>({0x0010, 0x2000, 0x2008, 0x0018, 0x200C}));
    std::vector<std::uint8_t> written(16, 0xAA);
    writeImageHeader(written, *h);
    EXPECT_EQ(written, bytes);
    EXPECT_FALSE(readImageHeader(std::span(bytes).first(15)));
}

bool mentions(const ImageVerdict& v, const std::string& words) {
    for (const auto& p : v.problems)
        if (p.text.find(words) != std::string::npos) return true;
    return false;
}

TEST(ImageCheck, AWellFormedImagePasses) {
    for (std::size_t size : {16u, 100u, 32000u, 32768u}) {
        const auto v = checkImage(image(size));
        EXPECT_TRUE(v.ok()) << size << (v.problems.empty() ? "" : v.problems[0].text);
        EXPECT_EQ(v.header.vbase, size);
    }
}

TEST(ImageCheck, EachFaultIsNamed) {
    auto corrupt = image(64);
    corrupt[40] ^= 1;
    EXPECT_TRUE(mentions(checkImage(corrupt), "checksum"));

    auto pbase = image(64);
    pbase[6] = 0x20;
    EXPECT_TRUE(mentions(checkImage(pbase), "pbase is 0x0020"));

    auto dbase = image(64);
    dbase[10] = 60;  // below the image's end
    EXPECT_TRUE(mentions(checkImage(dbase), "dbase"));

    auto big = image(64);
    big.resize(32769, 0);
    EXPECT_TRUE(mentions(checkImage(big), "more than the chip's 32768"));
    EXPECT_TRUE(checkImage(big).refused());
}

TEST(ImageCheck, EepromFileOfFullRamSendsItsLengthWordsWorth) {
    auto eeprom = image(200);
    eeprom.resize(32768, 0x00);  // the rest of RAM as an .eeprom file holds it
    const auto v = checkImage(eeprom);
    EXPECT_TRUE(v.ok());
    EXPECT_EQ(v.header.vbase, 200);
}

TEST(ImageCheck, ShortFilesAreLeftToTheUploadWhenItReportsThemItself) {
    auto shortByALong = image(64);
    shortByALong.resize(60);
    const auto v = checkImage(shortByALong);
    EXPECT_FALSE(v.ok());
    EXPECT_FALSE(v.refused());  // "Code Error -> Abort" from the upload, as in the window program
    EXPECT_FALSE(checkImage(std::vector<std::uint8_t>(8, 0)).refused());
    EXPECT_TRUE(checkImage(std::vector<std::uint8_t>(14, 0)).refused());
}

TEST(ImageCheck, DescriptionListsFieldsAndVerdict) {
    const std::string text = describeImage(checkImage(image(64)), 64);
    EXPECT_NE(text.find("pbase       0x0010"), std::string::npos);
    EXPECT_NE(text.find("vbase       0x0040 (image length 64 bytes, 16 longs)"), std::string::npos);
    EXPECT_NE(text.find("verdict     OK"), std::string::npos);
    auto bad = image(64);
    bad[6] = 0;
    EXPECT_NE(describeImage(checkImage(bad), 64).find("verdict     REFUSED\n  - pbase"), std::string::npos);
}

// A file that gives its bytes in the reads scripted, then its end; a read may fail instead.
class ScriptedSource final : public ByteSource {
public:
    ScriptedSource(std::deque<ReadSome> reads, std::optional<std::uintmax_t> size) : reads_(reads), size_(size) {}
    ReadSome read(std::span<std::uint8_t> into) override {
        if (reads_.empty()) return {};
        ReadSome next = reads_.front();
        next.bytes = std::min(next.bytes, into.size());
        reads_.front().bytes -= next.bytes;
        if (reads_.front().bytes == 0) reads_.pop_front();
        for (std::size_t i = 0; i < next.bytes; ++i) into[i] = static_cast<std::uint8_t>(given_++);
        return next;
    }
    std::optional<std::uintmax_t> size() override { return size_; }

private:
    std::deque<ReadSome> reads_;
    std::optional<std::uintmax_t> size_;
    std::size_t given_ = 0;
};

TEST(ImageFileRead, AFailedReadIsNoEndOfFileWhateverCameBeforeIt) {
    const struct {
        const char* name;
        std::deque<ReadSome> reads;
        std::optional<std::uintmax_t> size;
        ImageFile::State state;
        std::size_t bytes;
        std::uintmax_t fileSize;
    } cases[] = {
        {"whole", {{10, {}}, {6, {}}}, 16, ImageFile::State::read, 16, 16},
        // Cut at the limit; the size as the system says.
        {"oversized", {{100, {}}}, 5'000'000'000, ImageFile::State::read, 40, 5'000'000'000},
        // A pipe's size is what came of it.
        {"pipe", {{12, {}}}, std::nullopt, ImageFile::State::read, 12, 12},
        {"fails at once", {ReadSome::failed("Input/output error")}, 0, ImageFile::State::unreadable, 0, 0},
        {"fails midway", {{8, {}}, ReadSome::failed("Stale file handle")}, 16, ImageFile::State::unreadable, 0, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSource source(c.reads, c.size);
        const ImageFile file = readImage(source, 40);
        EXPECT_EQ(file.state, c.state);
        EXPECT_EQ(file.bytes.size(), c.bytes);
        EXPECT_EQ(file.size, c.fileSize);
        const std::optional<std::string> failure = c.reads.back().error;
        EXPECT_EQ(file.error, failure.value_or(""));
        for (std::size_t i = 0; i < file.bytes.size(); ++i) ASSERT_EQ(file.bytes[i], i);
    }
    EXPECT_EQ(readImageFile("/nonexistent/compiled.binary", 40).state, ImageFile::State::missing);
}

TEST(ImageFileRead, LongsAreStoredFromTheStartAndThoseAfterThemKept) {
    std::array<std::uint32_t, 4> longs{9, 9, 9, 9};
    EXPECT_EQ(storeLongs(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}, longs), 2u);
    EXPECT_EQ(longs, (std::array<std::uint32_t, 4>{0x04030201, 0x0605, 9, 9}));
    const std::vector<std::uint8_t> tooMany(20, 0xAB);
    EXPECT_EQ(storeLongs(tooMany, longs), 4u);
    EXPECT_EQ(longs[3], 0xABABABABu);
}

}  // namespace
}  // namespace kestrup
