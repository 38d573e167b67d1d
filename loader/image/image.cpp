#include "image/image.h"

#include <algorithm>
#include <cstdio>

namespace kestrup {
namespace {

std::uint16_t getWord(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void putWord(std::span<std::uint8_t> b, std::size_t at, std::uint16_t value) {
    b[at] = static_cast<std::uint8_t>(value);
    b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Past the RAM's end only the markers and the first stack long of a full image may lie.
constexpr unsigned layoutLimit = chipRamBytes + 16;

}  // namespace

std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> image) {
    if (image.size() < imageHeaderBytes) return std::nullopt;
    ImageHeader h;
    for (std::size_t b = 0; b < 4; ++b) h.clockFrequency |= std::uint32_t{image[b]} << (8 * b);
    h.clockMode = image[4];
    h.checksum = image[5];
    h.pbase = getWord(image, 6);
    h.vbase = getWord(image, 8);
    h.dbase = getWord(image, 10);
    h.pcurr = getWord(image, 12);
    h.dcurr = getWord(image, 14);
    return h;
}

void writeImageHeader(std::span<std::uint8_t> image, const ImageHeader& h) {
    for (std::size_t b = 0; b < 4; ++b) image[b] = static_cast<std::uint8_t>(h.clockFrequency >> (8 * b));
    image[4] = h.clockMode;
    image[5] = h.checksum;
    putWord(image, 6, h.pbase);
    putWord(image, 8, h.vbase);
    putWord(image, 10, h.dbase);
    putWord(image, 12, h.pcurr);
    putWord(image, 14, h.dcurr);
}

bool holdsItsLength(std::size_t fileBytes, std::uint16_t vbase) {
    return fileBytes >= imageLengthWordEnd && vbase / 4u <= (fileBytes + 3) / 4;
}

CheckedImage CheckedImage::of(std::span<const std::uint32_t> longs, std::size_t fileBytes) {
    auto word = [longs](std::size_t at, int shift) {
        return static_cast<std::uint16_t>(at < longs.size() ? longs[at] >> shift : 0);
    };
    CheckedImage image{longs, fileBytes};
    image.length = word(2, 0);
    image.pbase = word(1, 16);
    image.dbase = word(2, 16);
    image.complete = holdsItsLength(fileBytes, image.length);
    return image;
}

std::uint8_t imageRamSum(std::span<const std::uint8_t> image) {
    std::vector<std::uint8_t> ram(chipRamBytes, 0);
    // A load sends whole longs.
    const std::size_t loaded = std::min({std::size_t{getWord(image, 8) & ~3u}, image.size(), chipRamBytes});
    std::copy_n(image.begin(), loaded, ram.begin());
    // The chip takes dbase from what it loaded; a long write ignores the two low address bits, and
    // an address past the RAM (the 16-bit subtraction wrapping, or an image that fills the RAM)
    // stores nothing.
    const std::uint16_t dbase = getWord(ram, 10);
    for (const unsigned below : {8u, 4u}) {
        const unsigned address = static_cast<std::uint16_t>(dbase - below) & 0xFFFCu;
        if (address >= chipRamBytes) continue;
        for (unsigned b = 0; b < 4; ++b) ram[address + b] = static_cast<std::uint8_t>(imageStackMarker >> (8 * b));
    }
    unsigned sum = 0;
    for (const std::uint8_t byte : ram) sum += byte;
    return static_cast<std::uint8_t>(sum);
}

void sealImageChecksum(std::span<std::uint8_t> image) {
    image[5] = 0;
    image[5] = static_cast<std::uint8_t>(0x100 - imageRamSum(image));
}

ImageVerdict checkImage(std::span<const std::uint8_t> file, std::optional<std::uintmax_t> fileBytes) {
    ImageVerdict v;
    const std::uintmax_t size = fileBytes.value_or(file.size());
    auto problem = [&v](std::string text, bool uploadReportsIt = false) {
        v.problems.push_back(ImageProblem{std::move(text), uploadReportsIt});
    };
    const auto header = readImageHeader(file);
    if (!header) {
        problem("the file has " + std::to_string(size) + " bytes, too few for an image header (16)",
                size < imageLengthWordEnd);
        return v;
    }
    v.hasHeader = true;
    const ImageHeader& h = v.header = *header;

    if (size > chipRamBytes)
        problem("the file has " + std::to_string(size) + " bytes, more than the chip's 32768 of RAM");
    if (h.pbase != imagePbase)
        problem("pbase is " + hex(h.pbase, 4) + ", not " + hex(imagePbase, 4) + ": the chip would not start it");
    if (h.vbase < imageHeaderBytes || h.vbase % 4 != 0)
        problem("the image length (vbase) " + std::to_string(h.vbase) +
                " is not a whole number of longs past the header");
    else if (h.vbase > size)
        problem("the header says " + std::to_string(h.vbase) + " bytes, the file has " + std::to_string(size), true);
    if (h.dbase < h.vbase + 8 || h.dbase > layoutLimit)
        problem("dbase " + hex(h.dbase, 4) + " does not leave room for the stack markers above the image");
    if (h.dcurr < h.dbase || h.dcurr > layoutLimit)
        problem("dcurr " + hex(h.dcurr, 4) + " lies outside dbase .. the end of RAM");

    // Summed only when the bytes read hold the whole image.
    if (h.vbase <= file.size()) {
        if (const std::uint8_t sum = imageRamSum(file); sum != 0)
            problem("the checksum does not hold (the bytes sum to " + hex(sum, 2) +
                    " where the chip needs 0x00): a corrupted or hand-edited image");
    }
    return v;
}

std::string describeImage(const ImageVerdict& verdict, std::uintmax_t fileBytes) {
    std::string out = "file size   " + std::to_string(fileBytes) + " bytes\n";
    if (verdict.hasHeader) {
        const ImageHeader& h = verdict.header;
        out += "clkfreq     " + std::to_string(h.clockFrequency) + " Hz\n";
        out += "clkmode     " + hex(h.clockMode, 2) + "\n";
        out += "checksum    " + hex(h.checksum, 2) + "\n";
        out += "pbase       " + hex(h.pbase, 4) + "\n";
        out += "vbase       " + hex(h.vbase, 4) + " (image length " + std::to_string(h.vbase) + " bytes, " +
               std::to_string(h.vbase / 4) + " longs)\n";
        out += "dbase       " + hex(h.dbase, 4) + "\n";
        out += "pcurr       " + hex(h.pcurr, 4) + "\n";
        out += "dcurr       " + hex(h.dcurr, 4) + "\n";
    }
    if (verdict.ok()) return out + "verdict     OK\n";
    out += "verdict     REFUSED\n";
    for (const auto& p : verdict.problems) out += "  - " + p.text + "\n";
    return out;
}

bool ImageVerdict::refused() const {
    for (const auto& p : problems)
        if (!p.uploadReportsIt) return true;
    return false;
}

std::vector<std::uint32_t> longsOf(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint32_t> longs((bytes.size() + 3) / 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) longs[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
    return longs;
}

}  // namespace kestrup
