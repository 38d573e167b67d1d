#pragma once
// What can be told about an image file before a board sees it: its header fields, and whether the
// chip would take it (its checksum rule, a sane memory layout, a size that fits its RAM).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrup::cli {

struct ImageHeader {
    std::uint32_t clockFrequency = 0;  // long at 0
    std::uint8_t clockMode = 0;        // byte at 4
    std::uint8_t checksum = 0;         // byte at 5
    std::uint16_t pbase = 0;           // word at 6: where the program starts
    std::uint16_t vbase = 0;           // word at 8: the image length
    std::uint16_t dbase = 0;           // word at 10
    std::uint16_t pcurr = 0;           // word at 12
    std::uint16_t dcurr = 0;           // word at 14
};

struct ImageProblem {
    std::string text;
    // The upload itself reports it in its own words ("Code Error -> Abort"), as the window
    // program does, so the command line lets the upload meet it rather than refuse up front.
    bool uploadReportsIt = false;
};

struct ImageVerdict {
    ImageHeader header;
    bool hasHeader = false;
    std::vector<ImageProblem> problems;  // empty when the image passes
    bool ok() const { return problems.empty(); }
    // Whether an upload should stop before anything is sent.
    bool refused() const;
};

inline constexpr std::size_t chipRamBytes = 32768;

ImageVerdict checkImage(std::span<const std::uint8_t> file);

// The header fields and the verdict, for --info.
std::string describe(const ImageVerdict& verdict, std::size_t fileBytes);

}  // namespace kestrup::cli
