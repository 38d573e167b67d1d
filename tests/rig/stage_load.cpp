// stageload: resets a board, has its boot ROM load the second stage (or, with --boot, the pilot
// that carries the bootstrap that carries it), then loads an image through the stage, with the ROM's rate, the settling
// time and the stage's rates chosen on its command line. For the chip-logic rig; kestrupload takes the bootstrap's path
// by default (loader/stage/stage_loader.h).
//
//   stageload --port DEV [--boot] [--eeprom] [--no-run] [--rates R1,R2,...] [--settle MS]
//             [--stage FILE] [--trace FILE] IMAGE
//
// Exit status: 0 loaded, 1 the stage refused or failed, 2 no stage (the ROM did not take it, or
// the stage did not answer), 3 bad arguments or files.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "base/clock.h"
#include "image/image.h"
#include "port/loader_line.h"
#include "port/tracing_port.h"
#include "rom/loader_protocol.h"
#include "rom/serial_link.h"
#include "stage/bootstrap.h"
#include "stage/second_stage.h"
#include "upload/load_lines.h"

namespace {

using namespace kestrup;

class PrintingSink final : public StatusSink {
public:
    void statusLine(std::string_view message) override {
        std::cout << message << '\n';
        std::cout.flush();
    }
};

std::optional<std::vector<std::uint8_t>> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Arguments {
    std::string port, image, stageFile, trace;
    LoadTarget target = LoadTarget::ram;
    bool noRun = false;
    bool fixed = false;
    bool boot = false;
    std::vector<int> rates;
    int settleMs = UploadTiming::window().reset.waitMs;
    int romBaud = 115200;
};

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--port" || arg == "--stage" || arg == "--trace" || arg == "--rates" || arg == "--settle" ||
            arg == "--rom-baud") {
            const auto v = value();
            if (!v) return std::nullopt;
            if (arg == "--port") a.port = *v;
            if (arg == "--stage") a.stageFile = *v;
            if (arg == "--trace") a.trace = *v;
            if (arg == "--settle") a.settleMs = std::stoi(*v);
            if (arg == "--rom-baud") a.romBaud = std::stoi(*v);
            if (arg == "--rates") {
                std::stringstream list(*v);
                for (std::string r; std::getline(list, r, ',');) a.rates.push_back(std::stoi(r));
            }
        } else if (arg == "--eeprom") {
            a.target = LoadTarget::eepromRun;
        } else if (arg == "--boot") {
            a.boot = true;
        } else if (arg == "--fixed") {
            a.fixed = true;
        } else if (arg == "--no-run") {
            a.noRun = true;
        } else if (!arg.empty() && arg[0] != '-' && a.image.empty()) {
            a.image = arg;
        } else {
            return std::nullopt;
        }
    }
    if (a.port.empty() || a.image.empty()) return std::nullopt;
    if (a.noRun && a.target == LoadTarget::eepromRun) a.target = LoadTarget::eepromShutdown;
    return a;
}

const char* outcomeName(StageOutcome outcome) {
    switch (outcome) {
        case StageOutcome::loaded:
            return "loaded";
        case StageOutcome::noAnswer:
            return "no answer";
        // The image's own faults, which the stage found: the rig's suite knows them all as refusals.
        case StageOutcome::refused:
        case StageOutcome::checksumError:
        case StageOutcome::notStarted:
        case StageOutcome::mismatch:
            return "refused";
        case StageOutcome::failed:
        case StageOutcome::noVerdict:
        case StageOutcome::goUnheard:
            return "failed";
        case StageOutcome::eepromFailed:
            return "EEPROM failed";
        case StageOutcome::sent:
            return "sent";
    }
    return "?";
}

void printReport(const StageReport& report) {
    std::cout << "stage: " << outcomeName(report.outcome) << ", chip " << report.chipHz << " Hz, " << report.baud
              << " baud, " << report.resends << " resent\n";
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = parse(argc, argv);
    if (!args) {
        std::cerr << "usage: stageload --port DEV [--boot] [--eeprom] [--no-run] [--rates R1,R2,...]\n"
                     "                 [--settle MS] [--stage FILE] [--trace FILE] IMAGE\n";
        return 3;
    }
    const auto image = readFile(args->image);
    if (!image) {
        std::cerr << "stageload: cannot read " << args->image << '\n';
        return 3;
    }
    const auto builtIn = secondStageImage(args->target);
    std::vector<std::uint8_t> stageBytes(builtIn.begin(), builtIn.end());
    if (!args->stageFile.empty()) {
        const auto file = readFile(args->stageFile);
        if (!file) {
            std::cerr << "stageload: cannot read " << args->stageFile << '\n';
            return 3;
        }
        stageBytes = *file;
    }

    Clock& clock = systemClock();
    PrintingSink status;
    StatusLines lines(status);
    auto system = makeSystemSerialPort();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile(nullptr, std::fclose);
    std::unique_ptr<TracingPort> tracing;
    SerialPort* port = system.get();
    if (!args->trace.empty()) {
        traceFile.reset(std::fopen(args->trace.c_str(), "w"));
        if (!traceFile) {
            std::cerr << "stageload: cannot write " << args->trace << '\n';
            return 3;
        }
        tracing = std::make_unique<TracingPort>(*system, clock, traceFile.get());
        port = tracing.get();
    }

    SerialLink link(*port, clock, lines);
    if (!link.open(PortAddress::device(args->port))) {
        std::cerr << "stageload: cannot open " << args->port << '\n';
        return 3;
    }
    // The load's line, the one owner of the port's rate from here on: at 115200 baud as opened.
    LoaderLine line(*port, clock, 115200);
    if (!line.setBaud(args->romBaud)) {
        std::cerr << "stageload: the port refuses " << args->romBaud << " baud\n";
        return 3;
    }
    // The window program's reset, with the settling time the caller chose.
    link.chipReset({UploadTiming::window().reset.pulseMs, args->settleMs});

    LoaderProtocol protocol(link, lines);
    protocol.setEncoding(args->fixed ? LongEncoding::fixed : LongEncoding::dense);
    if (const HandshakeResult handshake = protocol.handshake(); !handshake.isChip() || handshake.version != 1) {
        link.close();
        return 2;
    }
    const auto stageLongs = longsOf(stageBytes);
    const auto romBytes = args->boot ? firmware::pilot() : std::span<const std::uint8_t>(stageBytes);
    if (protocol.imageLoad(static_cast<std::int32_t>(romBytes.size()), longsOf(romBytes)) !=
        Acknowledgement::accepted) {
        link.close();
        return 2;
    }
    if (args->boot) {
        Bootstrap bootstrap(line, clock);
        const auto sent = line.setBaud(pilot::baud) ? bootstrap.send(stageLongs, 70, 40) : Bootstrap::Outcome::noAnswer;
        if (sent == Bootstrap::Outcome::noAnswer || sent == Bootstrap::Outcome::failed) {
            std::cout << "bootstrap: the stage not taken\n";
            link.close();
            return 2;
        }
        std::cout << "bootstrap: chip " << bootstrap.chipHz() << " Hz, stage at " << line.baud() << " baud\n";
    }

    const auto imageLongs = longsOf(*image);
    const auto fit = StageImage::of(CheckedImage::of(imageLongs, image->size()));
    if (!std::holds_alternative<StageImage>(fit)) {
        printReport({StageOutcome::refused});
        link.close();
        return 1;
    }
    SecondStage stage(clock, status);
    if (!args->rates.empty()) stage.setRates(args->rates);
    const StageReport report = stage.load(line, std::get<StageImage>(fit), args->target);
    printReport(report);
    link.close();
    switch (report.outcome) {
        case StageOutcome::loaded:
            return 0;
        case StageOutcome::noAnswer:
            return 2;
        default:
            return 1;
    }
}
