#pragma once
// A Propeller image as the chip's boot loader sees it: the header a compiler writes, the checksum
// rule the chip applies before it runs a loaded image, and what can be told about a file before a
// board sees it. Everything that reads, checks or makes image headers goes through here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrup {

inline constexpr std::size_t chipRamBytes = 32768;
inline constexpr std::size_t imageHeaderBytes = 16;
// The length word (vbase) ends here: a shorter file does not even say how long it is.
inline constexpr std::size_t imageLengthWordEnd = 12;
inline constexpr std::uint16_t imagePbase = 0x0010;  // where the chip starts the top object
// Written at dbase-8 and dbase-4 before the chip sums its RAM.
inline constexpr std::uint32_t imageStackMarker = 0xFFF9FFFF;

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

// nullopt when the bytes are fewer than a header.
std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> image);
// Writes every field, the checksum byte included, into the first 16 bytes.
void writeImageHeader(std::span<std::uint8_t> image, const ImageHeader& header);

// The upload's own test of a file against its length word, as the window program made it: the
// file reaches past the length word and holds the vbase/4 longs that a load sends (a last partial
// long counts, its missing bytes zero).
bool holdsItsLength(std::size_t fileBytes, std::uint16_t vbase);

// An image as the upload read it, held as little-endian longs, its header read once, as every
// loader is handed it.
struct CheckedImage {
    std::span<const std::uint32_t> longs;  // the file's longs first; a buffer may hold more after them
    std::size_t fileBytes = 0;
    std::uint16_t length = 0;  // vbase: the low half of long 2
    std::uint16_t pbase = 0;
    std::uint16_t dbase = 0;
    // The file holds what its length word asks for (holdsItsLength): else no load sends it, and
    // the ROM tells why.
    bool complete = false;

    // Header words beyond the longs read as 0.
    static CheckedImage of(std::span<const std::uint32_t> longs, std::size_t fileBytes);
};

// The chip loads the first vbase bytes (at most as many as there are) into its 32 KB of RAM,
// zero-fills the rest, writes the stack marker at dbase-8 and dbase-4, and runs the image only if
// all of RAM then sums to 0 modulo 256. This is that sum. The image holds at least a header.
std::uint8_t imageRamSum(std::span<const std::uint8_t> image);
// Sets the checksum byte so that the sum comes to 0.
void sealImageChecksum(std::span<std::uint8_t> image);

// The bytes as the chip's longs, least significant byte first; a last long cut short is padded
// with zeros.
std::vector<std::uint32_t> longsOf(std::span<const std::uint8_t> bytes);

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

// Whether the chip would take the file: its checksum rule, a sane memory layout, a size that fits
// its RAM. `file` is what was read of it, from its start (a file bigger than the RAM need not be
// read beyond it); fileBytes its true size when more than that.
ImageVerdict checkImage(std::span<const std::uint8_t> file, std::optional<std::uintmax_t> fileBytes = std::nullopt);

// The header fields and the verdict, as `kestrupload --info` prints them.
std::string describeImage(const ImageVerdict& verdict, std::uintmax_t fileBytes);

}  // namespace kestrup
