// propimage: writes a valid Propeller image of a given size, for tests, demos and benchmarks.

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <string>

#include "image_maker.h"

int main(int argc, char** argv) {
    using kestrup::sim::ImageSpec;
    ImageSpec spec;
    std::string path;
    CLI::App app{
        "Writes an image as a Spin compiler lays it out: header, a body of BYTES - 16 bytes (random from\n"
        "the seed, or zeros), and the checksum byte that makes the chip accept it. BYTES is a multiple\n"
        "of 4 from 16 to 32768; the length word holds it.",
        "propimage"};
    app.get_formatter()->column_width(20);
    app.add_option("FILE", path, "where to write the image")->type_name("")->required();
    app.add_option("--size", spec.size, "the image's length")->type_name("BYTES")->capture_default_str();
    app.add_option("--seed", spec.seed, "the random body's seed")->capture_default_str();
    app.add_flag_callback(
        "--zeros", [&spec] { spec.body = ImageSpec::Body::zeros; }, "a body of zeros instead");
    app.add_option("--clkfreq", spec.clockFrequency, "the clock frequency in the header")
        ->type_name("HZ")
        ->capture_default_str();
    // Not the uint8_t itself, which the parser would take as one character.
    app.add_option_function<unsigned>(
           "--clkmode", [&spec](unsigned mode) { spec.clockMode = static_cast<std::uint8_t>(mode); },
           "the clock mode byte in the header")
        ->type_name("M")
        ->check(CLI::Range(0u, 0xFFu))
        ->default_str("0x6F");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& error) {
        std::cerr << "propimage: " << error.what() << "\n" << app.help();
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
