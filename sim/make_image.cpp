// propimage: writes a valid Propeller image of a given size, for tests, demos and benchmarks.

#include "image_maker.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const char* const usage =
    "usage: propimage [--size BYTES] [--seed N] [--zeros] [--clkfreq HZ] [--clkmode M] FILE\n"
    "Writes an image as a Spin compiler lays it out: header, a body of BYTES - 16 bytes (random from\n"
    "the seed, or zeros), and the checksum byte that makes the chip accept it. BYTES is a multiple\n"
    "of 4 from 16 to 32768 (default 1024); the length word holds it.\n";

bool toNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    int base = 10;
    const char* begin = text.data();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        begin += 2;
    }
    const auto [ptr, ec] = std::from_chars(begin, end, value, base);
    return ec == std::errc{} && ptr == end && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
    using kestrup::sim::ImageSpec;
    ImageSpec spec;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](std::uint64_t max, std::uint64_t& value) {
            if (i + 1 >= argc || !toNumber(argv[i + 1], max, value)) {
                std::cerr << "propimage: " << arg << " needs a number up to " << max << "\n" << usage;
                return false;
            }
            ++i;
            return true;
        };
        std::uint64_t v = 0;
        if (arg == "--help") {
            std::cout << usage;
            return 0;
        } else if (arg == "--zeros") {
            spec.body = ImageSpec::Body::zeros;
        } else if (arg == "--size") {
            if (!number(1u << 20, v)) return 2;
            spec.size = static_cast<std::size_t>(v);
        } else if (arg == "--seed") {
            if (!number(0xFFFFFFFFu, v)) return 2;
            spec.seed = static_cast<std::uint32_t>(v);
        } else if (arg == "--clkfreq") {
            if (!number(0xFFFFFFFFu, v)) return 2;
            spec.clockFrequency = static_cast<std::uint32_t>(v);
        } else if (arg == "--clkmode") {
            if (!number(0xFF, v)) return 2;
            spec.clockMode = static_cast<std::uint8_t>(v);
        } else if (arg.starts_with("--") || !path.empty()) {
            std::cerr << "propimage: unexpected " << arg << "\n" << usage;
            return 2;
        } else {
            path = arg;
        }
    }
    if (path.empty()) {
        std::cerr << "propimage: no output file\n" << usage;
        return 2;
    }
    if (const std::string error = kestrup::sim::imageSpecError(spec); !error.empty()) {
        std::cerr << "propimage: " << error << "\n";
        return 2;
    }
    const auto image = kestrup::sim::makeImage(spec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        std::cerr << "propimage: cannot write " << path << "\n";
        return 1;
    }
    return 0;
}
