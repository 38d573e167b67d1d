#include "image_check.h"

#include <cstdio>

namespace kestrup::cli {
namespace {

std::uint16_t word(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// The chip zero-fills RAM above the image and writes the long 0xFFF9FFFF at dbase-8 and dbase-4
// before it sums; a marker that falls past the RAM (an image that fills it) is not stored.
constexpr unsigned markerSum = 0xFF + 0xF9 + 0xFF + 0xFF;
// Past the RAM's end only the markers and the first stack long of a full image may lie.
constexpr unsigned layoutLimit = chipRamBytes + 16;

}  // namespace

ImageVerdict checkImage(std::span<const std::uint8_t> file) {
    ImageVerdict v;
    auto problem = [&v](std::string text, bool uploadReportsIt = false) {
        v.problems.push_back(ImageProblem{std::move(text), uploadReportsIt});
    };
    if (file.size() < 16) {
        // Without its length word (12 bytes) the upload refuses it itself.
        problem("the file has " + std::to_string(file.size()) + " bytes, too few for an image header (16)",
                file.size() < 12);
        return v;
    }
    v.hasHeader = true;
    ImageHeader& h = v.header;
    h.clockFrequency = static_cast<std::uint32_t>(file[0] | (file[1] << 8) | (file[2] << 16)) |
                       (static_cast<std::uint32_t>(file[3]) << 24);
    h.clockMode = file[4];
    h.checksum = file[5];
    h.pbase = word(file, 6);
    h.vbase = word(file, 8);
    h.dbase = word(file, 10);
    h.pcurr = word(file, 12);
    h.dcurr = word(file, 14);

    if (file.size() > chipRamBytes)
        problem("the file has " + std::to_string(file.size()) + " bytes, more than the chip's 32768 of RAM");
    if (h.pbase != 0x0010) problem("pbase is " + hex(h.pbase, 4) + ", not 0x0010: the chip would not start it");
    if (h.vbase < 16 || h.vbase % 4 != 0)
        problem("the image length (vbase) " + std::to_string(h.vbase) + " is not a whole number of longs past the header");
    else if (h.vbase > file.size())
        problem("the header says " + std::to_string(h.vbase) + " bytes, the file has " + std::to_string(file.size()), true);
    if (h.dbase < h.vbase + 8 || h.dbase > layoutLimit)
        problem("dbase " + hex(h.dbase, 4) + " does not leave room for the stack markers above the image");
    if (h.dcurr < h.dbase || h.dcurr > layoutLimit)
        problem("dcurr " + hex(h.dcurr, 4) + " lies outside dbase .. the end of RAM");

    if (h.vbase <= file.size()) {
        unsigned sum = 0;
        for (const unsigned marker : {h.dbase - 8u, h.dbase - 4u})
            if (h.dbase >= 8 && marker + 4 <= chipRamBytes) sum += markerSum;
        for (std::size_t i = 0; i < h.vbase; ++i) sum += file[i];
        if (sum % 256 != 0)
            problem("the checksum does not hold (the bytes sum to " + hex(sum % 256, 2) +
                    " where the chip needs 0x00): a corrupted or hand-edited image");
    }
    return v;
}

std::string describe(const ImageVerdict& verdict, std::size_t fileBytes) {
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

}  // namespace kestrup::cli
