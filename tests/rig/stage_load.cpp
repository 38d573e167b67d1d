// stageload: resets a board, has its boot ROM load the second stage (or, with --boot, the pilot
// that carries the bootstrap that carries it), then loads an image through the stage, with the ROM's rate, the settling
// time and the stage's rates chosen on its command line. For the chip-logic rig; kestrupload takes the bootstrap's path
// by default (loader/stage/stage_loader.h).
//
//   stageload --port DEV [--boot] [--eeprom] [--no-run] [--rates R1,R2,...] [--settle MS]
//             [--stage FILE] [--trace FILE] IMAGE
//   stageload --port DEV --transcripts FILE [--only NAME,...] [--settle MS] [--trace FILE]
//
// With --transcripts it plays the stage's transcripts (tests/conformance/) instead, each on a stage
// started afresh, all in one session, and tells every message's answers and every difference.
//
// Exit status: 0 loaded (every transcript as written), 1 the stage refused or failed (a transcript
// differed), 2 no stage (the ROM did not take it, or the stage did not answer), 3 bad arguments
// or files.

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
#include "conformance.h"
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
    std::string port, image, stageFile, trace, transcripts, only;
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
            arg == "--rom-baud" || arg == "--transcripts" || arg == "--only") {
            const auto v = value();
            if (!v) return std::nullopt;
            if (arg == "--port") a.port = *v;
            if (arg == "--transcripts") a.transcripts = *v;
            if (arg == "--only") a.only = *v;
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
    if (a.port.empty() || a.image.empty() == a.transcripts.empty()) return std::nullopt;
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
        case StageOutcome::crystalSilent:
            return "silent on the crystal";
        case StageOutcome::sent:
            return "sent";
    }
    return "?";
}

void printReport(const StageReport& report) {
    std::cout << "stage: " << outcomeName(report.outcome) << ", chip " << report.chipHz << " Hz, " << report.baud
              << " baud, " << report.resends << " resent\n";
}

// The system's serial port, traced to a file when one is named.
class TracedPort {
public:
    explicit TracedPort(Clock& clock) : clock_(clock) {}
    // The port to use; nothing when the trace file cannot be written.
    SerialPort* open(const std::string& trace) {
        if (trace.empty()) return system_.get();
        file_.reset(std::fopen(trace.c_str(), "w"));
        if (!file_) return nullptr;
        tracing_ = std::make_unique<TracingPort>(*system_, clock_, file_.get());
        return tracing_.get();
    }

private:
    Clock& clock_;
    std::unique_ptr<SerialPort> system_ = makeSystemSerialPort();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, std::fclose};
    std::unique_ptr<TracingPort> tracing_;
};

// The board behind the port, and what every start of the stage on it needs.
struct Board {
    SerialPort& port;
    Clock& clock;
    SerialLink& link;
    StatusLines& lines;
    // The one owner of the port's rate and stop bits.
    LoaderLine& line;
};

// Resets the board and has its ROM start the stage (or the pilot, which takes the bootstrap, which
// takes the stage); the rate the stage came at, or nothing when it was not taken.
bool startStage(const Arguments& args, std::span<const std::uint8_t> stageBytes, Board& board) {
    if (!board.line.setBaud(args.romBaud)) {
        std::cerr << "stageload: the port refuses " << args.romBaud << " baud\n";
        return false;
    }
    // The window program's reset, with the settling time the caller chose.
    board.link.chipReset({UploadTiming::window().reset.pulseMs, args.settleMs});
    LoaderProtocol protocol(board.link, board.lines);
    protocol.setEncoding(args.fixed ? LongEncoding::fixed : LongEncoding::dense);
    if (const HandshakeResult handshake = protocol.handshake(); !handshake.isChip() || handshake.version != 1)
        return false;
    const auto romBytes = args.boot ? firmware::pilot() : stageBytes;
    if (protocol.imageLoad(static_cast<std::int32_t>(romBytes.size()), longsOf(romBytes)) != Acknowledgement::accepted)
        return false;
    if (!args.boot) return true;
    Bootstrap bootstrap(board.line, board.clock);
    const auto sent =
        board.line.setBaud(pilot::baud) ? bootstrap.send(longsOf(stageBytes), 70, 40) : Bootstrap::Outcome::noAnswer;
    if (sent == Bootstrap::Outcome::noAnswer || sent == Bootstrap::Outcome::failed) {
        std::cout << "bootstrap: the stage not taken\n";
        return false;
    }
    std::cout << "bootstrap: chip " << bootstrap.chipHz() << " Hz, stage at " << board.line.baud() << " baud\n";
    return true;
}

int loadImage(const Arguments& args, const std::vector<std::uint8_t>& image, Board& board, StatusSink& status) {
    const auto imageLongs = longsOf(image);
    const auto fit = StageImage::of(CheckedImage::of(imageLongs, image.size()));
    if (!std::holds_alternative<StageImage>(fit)) {
        printReport({StageOutcome::refused});
        return 1;
    }
    SecondStage stage(board.clock, status);
    if (!args.rates.empty()) stage.setRates(args.rates);
    const StageReport report = stage.load(board.line, std::get<StageImage>(fit), args.target);
    printReport(report);
    switch (report.outcome) {
        case StageOutcome::loaded:
            return 0;
        case StageOutcome::noAnswer:
            return 2;
        default:
            return 1;
    }
}

// The stage on the board, as the transcripts' far end: each transcript on a stage started afresh.
class BoardEnd final : public conformance::StageEnd {
public:
    BoardEnd(const Arguments& args, Board& board) : args_(args), board_(board) {}

    bool start(const conformance::Transcript& transcript) override {
        Arguments args = args_;
        args.boot = transcript.bootStarted;
        args.target = transcript.eepromBuild ? LoadTarget::eepromRun : LoadTarget::ram;
        // Once more after a start that failed: a rig that falls behind its rate on a busy machine
        // may cost the host's bootstrap its timing, which is no matter of the stage's.
        for (int tries = 0; tries < startTries; ++tries) {
            // Each start is a reset, which the rig's events show: the suite finds each transcript's there.
            std::cout << "  start " << ++starts_
                      << (transcript.bootStarted ? ", by the bootstrap\n" : ", by the ROM\n");
            if (!startStage(args, secondStageImage(args.target), board_)) continue;
            // Until it listens: after the ROM's acknowledgement its clock wait and the stage's
            // start (35 to 55 ms); after the bootstrap's answer the stage's start alone.
            board_.clock.pause(transcript.bootStarted ? bootStartMs : romStartMs);
            board_.port.purgeReceive();
            received_.clear();
            return true;
        }
        return false;
    }
    void setLine(int baud, int stopBits) override {
        board_.line.drain();
        if (!board_.line.setBaud(baud, stopBits))
            std::cout << "stageload: the port refuses " << baud << " baud, " << stopBits << " stop bits\n";
    }
    void send(std::span<const std::uint8_t> bytes) override { board_.port.write(bytes); }
    std::vector<stage::Answer> collect(std::size_t count, int windowMs) override {
        std::vector<stage::Answer> answers;
        const std::int64_t start = board_.clock.nowMicros();
        std::optional<std::int64_t> settled;
        for (;;) {
            std::array<std::uint8_t, 256> buffer{};
            for (std::optional<std::size_t> n; (n = board_.port.read(buffer)) && *n > 0;)
                received_.insert(received_.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n));
            for (const auto& a : stage::takeAnswers(received_)) answers.push_back(a);
            const std::int64_t now = board_.clock.nowMicros();
            if (count > 0 && answers.size() >= count && !settled) settled = now + settleMicros;
            if (now - start >= 1000 * std::int64_t{windowMs} || (settled && now >= *settled)) return answers;
            board_.clock.pause(1);
        }
    }
    // The chip's state is the rig's to tell, from its events: time for it to get there.
    std::optional<std::string> state(int windowMs) override {
        board_.clock.pause(windowMs);
        return std::nullopt;
    }

private:
    static constexpr int startTries = 2;
    static constexpr int romStartMs = 70;
    static constexpr int bootStartMs = 5;
    static constexpr std::int64_t settleMicros = 3000;
    const Arguments& args_;
    Board& board_;
    std::vector<std::uint8_t> received_;
    int starts_ = 0;
};

int playTranscripts(const Arguments& args, const std::string& text, Board& board) {
    std::vector<conformance::Transcript> transcripts;
    try {
        transcripts = conformance::parse(text);
    } catch (const std::invalid_argument& error) {
        std::cerr << "stageload: " << args.transcripts << ": " << error.what() << '\n';
        return 3;
    }
    BoardEnd end(args, board);
    int failed = 0;
    for (const auto& transcript : transcripts) {
        if (!args.only.empty() && ("," + args.only + ",").find("," + transcript.name + ",") == std::string::npos)
            continue;
        std::cout << "transcript " << transcript.name << '\n';
        const auto outcome = conformance::play(transcript, end);
        for (const auto& line : outcome.log) std::cout << "  " << line << '\n';
        for (const auto& failure : outcome.failures) std::cout << "  DIFFERS: " << failure << '\n';
        failed += outcome.failures.empty() ? 0 : 1;
        std::cout.flush();
    }
    std::cout << "transcripts: " << failed << " differ\n";
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const auto args = parse(argc, argv);
    if (!args) {
        std::cerr << "usage: stageload --port DEV [--boot] [--eeprom] [--no-run] [--rates R1,R2,...]\n"
                     "                 [--settle MS] [--stage FILE] [--trace FILE] IMAGE\n"
                     "       stageload --port DEV --transcripts FILE [--only NAME,...] [--settle MS] [--trace FILE]\n";
        return 3;
    }
    const auto input = readFile(args->transcripts.empty() ? args->image : args->transcripts);
    if (!input) {
        std::cerr << "stageload: cannot read " << (args->transcripts.empty() ? args->image : args->transcripts) << '\n';
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
    TracedPort traced(clock);
    SerialPort* port = traced.open(args->trace);
    if (!port) {
        std::cerr << "stageload: cannot write " << args->trace << '\n';
        return 3;
    }
    SerialLink link(*port, clock, lines);
    if (!link.open(PortAddress::device(args->port))) {
        std::cerr << "stageload: cannot open " << args->port << '\n';
        return 3;
    }
    // At 115200 baud as opened.
    LoaderLine line(*port, clock, 115200);
    Board board{*port, clock, link, lines, line};
    int result = 2;
    if (!args->transcripts.empty()) {
        result = playTranscripts(*args, std::string(input->begin(), input->end()), board);
    } else if (startStage(*args, stageBytes, board)) {
        result = loadImage(*args, *input, board, status);
    }
    link.close();
    return result;
}
