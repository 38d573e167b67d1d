#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "base/unique_handle.h"
#include "image/image.h"
#include "image/image_file.h"
#include "parallel.h"
#include "platform.h"
#include "progress.h"
#include "report.h"
#include "stdout_console.h"
#include "terminal.h"
#include "upload/board.h"
#include "upload/messages.h"

namespace kestrup::cli {
namespace {

// How long --scan gives one port to answer: a handshake with a chip takes well under a second.
constexpr int scanDeadlineMs = 3000;

// `whyNotOpened` ends the sentence for a port that did not open.
std::string summaryOf(UploadOutcome outcome, const std::string& whyNotOpened) {
    switch (outcome) {
        case UploadOutcome::loaded:
            return "loaded";
        case UploadOutcome::portNotOpened:
            return "port " + whyNotOpened;
        case UploadOutcome::fileMissing:
            return "no such file";
        case UploadOutcome::noChip:
            return "no chip answered";
        case UploadOutcome::headerRejected:
            return "aborted (image shorter than its header)";
        case UploadOutcome::notAcknowledged:
            return "checksum error or no acknowledgement";
        case UploadOutcome::eepromFailed:
            return "EEPROM not programmed";
        case UploadOutcome::notStarted:
            return "loaded, but not started (pbase is not 0x0010)";
        case UploadOutcome::fileUnreadable:
            return "the file could not be read";
        case UploadOutcome::imageRefused:
            return "image refused";
    }
    return "?";
}

int identifyStatus(ChipIdentity::Answer answer) {
    return answer == ChipIdentity::Answer::chip ? 0 : answer == ChipIdentity::Answer::noPort ? 2 : 1;
}

// Where nothing is shown.
struct Quiet final : UploadConsole {
    void open() override {}
    void close() override {}
    void statusLine(std::string_view) override {}
};

// Standard output, unless the report goes there.
std::FILE* statusStream(const Options& options) {
    return options.report == "-" ? stderr : stdout;
}

BoardOptions boardOptions(const Options& options, std::FILE* trace = nullptr, std::string traceLabel = {}) {
    BoardOptions board;
    board.reset = options.reset;
    board.encoding = options.encoding;
    // The window program's path (its timing, its handshake, the ROM alone), or the lean one.
    board.timing = options.windowTiming ? UploadTiming::window() : UploadTiming::lean();
    board.handshake = options.windowTiming ? HandshakeBits::onePerByte : HandshakeBits::threePerByte;
    board.trace = trace;
    board.traceLabel = std::move(traceLabel);
    // The second stage unless the ROM alone was asked for, or the window program's path.
    board.secondStage = !options.romOnly && !options.windowTiming;
    // The stage starts the image with the port at the rate it talks at: the terminal's, if one follows.
    if (options.terminal) board.imageBaud = options.terminalBaud;
    return board;
}

// A port that did not open, in the words every command uses, from its failed open's event: kept
// for the summary, and said on standard error (as --terminal says it, rather than as the window
// program's box) unless kept quiet.
class OpenFailure final : public LoadEvents {
public:
    OpenFailure(std::string name, bool said) : name_(std::move(name)), said_(said) {}
    void on(const LoadEvent& event) override {
        const auto* ended = std::get_if<Ended>(&event);
        if (!ended || !ended->notOpened) return;
        why_ = whyNotOpened(*ended->notOpened);
        if (said_) std::fprintf(stderr, "kestrupload: %s %s\n", name_.c_str(), why_.c_str());
    }
    const std::string& why() const { return why_; }

private:
    std::string name_;
    bool said_;
    std::string why_;
};

// One board as the command line drives it: the board, and the views of its load's events: the
// status lines on the console, the path line on standard error, its slot of the progress line,
// the report's recorder, and a port that did not open.
struct Session {
    Session(const PortAddress& address, const Options& options, const std::string& prefix, ProgressDisplay* progress,
            std::FILE* trace, std::unique_ptr<SessionPort> port)
        : line(port.get()),
          console(prefix, progress, statusStream(options)),
          pathOut("kestrupload: " + address.displayName() + ": ", progress, stderr),
          slot(progress ? &progress->add(address.displayName()) : nullptr,
               progress && !progress->enabled() ? &pathOut : nullptr),
          openFailure(address.displayName(), true),
          events({&lines, &paths, &slot, &recorder, &openFailure}),
          board(address, std::move(port), systemClock(), console, events, boardOptions(options, trace, prefix)) {}

    SessionPort* line;  // the board's port, owned by the board, for the terminal after the load
    StdoutConsole console;
    StdoutConsole pathOut;
    StatusLines lines{console};
    PathLines paths{pathOut};
    SlotProgress slot;
    LoadRecorder recorder;
    OpenFailure openFailure;
    EventFan events;
    Board board;
    UploadOutcome outcome = UploadOutcome::portNotOpened;
};

// One port's answer to a reset and a handshake.
struct Probe {
    std::string name;
    bool finished = false;
    ChipIdentity identity;
    std::string whyNotOpened;

    bool answered() const { return finished && identity.answer == ChipIdentity::Answer::chip; }
    std::string verdict() const {
        if (!finished) return "no answer within " + std::to_string(scanDeadlineMs / 1000) + " s";
        switch (identity.answer) {
            case ChipIdentity::Answer::noPort:
                return whyNotOpened;
            case ChipIdentity::Answer::noChip:
                return "no Propeller";
            case ChipIdentity::Answer::chip:
                break;
        }
        return "Propeller version " + std::to_string(identity.version);
    }
};

struct Probes {
    // Shared with the probes' threads: one stuck in its port outlives the wait for it.
    std::vector<std::shared_ptr<Probe>> each;
    bool stuck = false;
};

// Every port at once, a thread each, quietly: the caller says what they found. `describe`: each
// board as --identify describes it; else its chip's version alone, which is quicker.
Probes probeAll(const std::vector<SerialPortInfo>& ports, const Options& options, bool describe) {
    BoardOptions board = boardOptions(options);
    board.secondStage = board.secondStage && describe;
    Probes probes;
    std::vector<std::function<void()>> tasks;
    for (const auto& info : ports) {
        auto probe = std::make_shared<Probe>();
        probe->name = info.port;
        probes.each.push_back(probe);
        tasks.push_back([probe, board] {
            Quiet quiet;
            OpenFailure openFailure(probe->name, false);
            Board probed(parsePort(probe->name), makeSystemSerialPort(), systemClock(), quiet, openFailure, board);
            probe->identity = probed.identify();
            probe->whyNotOpened = openFailure.why();
        });
    }
    const auto finished = runParallel(tasks, scanDeadlineMs + 200, nullptr);
    for (std::size_t i = 0; i < finished.size(); ++i) {
        probes.each[i]->finished = finished[i];
        probes.stuck = probes.stuck || !finished[i];
    }
    return probes;
}

// Without --port: the one port of those listed that a chip answers on. None or several are said
// on standard error, and the command ends there.
std::optional<PortAddress> discoverBoard(const Options& options) {
    const auto ports = listSerialPorts();
    if (ports.empty()) {
        std::cerr << "kestrupload: no serial ports found; give the board's with --port PORT\n";
        return std::nullopt;
    }
    const Probes probes = probeAll(ports, options, false);
    std::vector<std::shared_ptr<Probe>> answered;
    for (const auto& p : probes.each)
        if (p->answered()) answered.push_back(p);
    if (answered.size() == 1) {
        std::cerr << "kestrupload: a chip answered on " << answered.front()->name << "\n";
        return parsePort(answered.front()->name);
    }
    std::cerr << (answered.empty() ? "kestrupload: no chip answered on any serial port:\n"
                                   : "kestrupload: chips answered on several ports; choose one with --port PORT:\n");
    for (const auto& p : answered.empty() ? probes.each : answered)
        std::cerr << "  " << p->name << ": " << p->verdict() << "\n";
    return std::nullopt;
}

std::vector<std::shared_ptr<Session>> makeSessions(const Options& options, ProgressDisplay* progress,
                                                   std::FILE* trace) {
    std::vector<std::shared_ptr<Session>> sessions;
    const bool several = options.ports.size() > 1;
    for (const auto& address : options.ports) {
        auto port = std::make_unique<SessionPort>(makeSystemSerialPort(), options.terminal);
        const std::string prefix = several ? address.displayName() + ": " : "";
        sessions.push_back(std::make_shared<Session>(address, options, prefix, progress, trace, std::move(port)));
    }
    return sessions;
}

bool openTrace(const Options& options, UniqueFile& trace) {
    if (options.trace.empty()) return true;
    trace.reset(std::fopen(options.trace.c_str(), "w"));
    if (!trace) std::cerr << "kestrupload: cannot write the trace file " << options.trace << "\n";
    return trace != nullptr;
}

// The checks' verdict on the image as it was read: of its header alone when its size refuses it
// anyway, as --info shows it.
ImageVerdict verdictOn(const ImageFile& file) {
    const bool tooBig = file.size > chipRamBytes;
    const std::span<const std::uint8_t> bytes(file.bytes);
    return checkImage(tooBig ? bytes.first(std::min(bytes.size(), imageHeaderBytes)) : bytes, file.size);
}

// Whether the checks refuse the image, said on standard error. A file that is missing or cannot be
// read is the upload's to report, as the window program does.
bool refusedByChecks(const Options& options, const ImageFile& file) {
    if (!file.wasRead() || options.force) return false;
    const ImageVerdict verdict = verdictOn(file);
    if (!verdict.refused()) return false;
    std::cerr << "kestrupload: " << options.image << " is not a loadable image:\n";
    for (const auto& p : verdict.problems) std::cerr << "  - " << p.text << "\n";
    std::cerr << "Nothing was sent. Use --force to load it anyway.\n";
    return true;
}

// Without --port: the one port a chip answers on, found by resetting every port; false, said on
// standard error, when there is not exactly one.
bool findBoard(Options& options) {
    if (!options.ports.empty()) return true;
    const auto found = discoverBoard(options);
    if (found) options.ports = {*found};
    return found.has_value();
}

// The boards' sessions as their loads left them, and the exit status they come to.
struct Loads {
    std::unique_ptr<ProgressDisplay> progress;  // outlives the sessions that draw on it
    std::vector<std::shared_ptr<Session>> sessions;
    int status = 0;
};

// Each board named is told that the checks refused the image; none is touched.
Loads refuseAll(const Options& options) {
    Loads refused{nullptr, makeSessions(options, nullptr, nullptr), 1};
    for (auto& session : refused.sessions) session->outcome = session->board.refuse();
    return refused;
}

// The image loaded into every board at once, from the one read of it.
Loads loadAll(const Options& options, const ImageFile& file, std::FILE* trace) {
    makeStdoutBinary();
    Loads loads{std::make_unique<ProgressDisplay>(stderrIsTerminal()), {}, 0};
    ProgressDisplay& progress = *loads.progress;
    loads.sessions = makeSessions(options, &progress, trace);
    const LoadTarget target = !options.eeprom ? LoadTarget::ram
                              : options.run   ? LoadTarget::eepromRun
                                              : LoadTarget::eepromShutdown;
    std::vector<std::function<void()>> tasks;
    for (auto& session : loads.sessions)
        tasks.push_back([session, &file, target] { session->outcome = session->board.upload(file, target); });
    runParallel(tasks, -1, [&progress] { progress.draw(systemClock().nowMicros()); });
    progress.clear();

    for (const auto& session : loads.sessions) loads.status = std::max(loads.status, exitStatusOf(session->outcome));
    std::FILE* out = statusStream(options);
    if (loads.sessions.size() > 1) {
        for (const auto& session : loads.sessions)
            std::fprintf(out, "%s: %s\n", session->board.address().displayName().c_str(),
                         summaryOf(session->outcome, session->openFailure.why()).c_str());
    }
    std::fflush(out);
    return loads;
}

// The report, written once every board's load has ended, of what their events told.
bool writeReport(ReportFile& report, const Options& options, const ImageFile& file, const Loads& loads) {
    if (options.report.empty()) return true;
    std::vector<BoardReport> boards;
    for (const auto& session : loads.sessions)
        boards.push_back(session->recorder.report(session->board.address().displayName()));
    return report.write(reportText(options, imageFacts(options.image, file), boards));
}

}  // namespace

int runUpload(const Options& given) {
    Options options = given;
    ReportFile report;
    if (!report.open(options)) return 2;
    // Read once: the checks and every board's load see the same bytes.
    const ImageFile file = readImageFile(options.image, UploadJob::imageBufferBytes);
    UniqueFile trace;
    Loads loads;
    if (refusedByChecks(options, file)) {
        loads = refuseAll(options);
    } else if (!findBoard(options)) {
        // Every port is reset in the search: only once the image has passed.
        loads.status = 2;
    } else {
        if (!openTrace(options, trace)) return 2;
        loads = loadAll(options, file, trace.get());
    }
    int status = loads.status;
    if (!writeReport(report, options, file, loads)) status = std::max(status, 2);
    if (options.terminal && status == 0) return runTerminal(options, loads.sessions.front()->line);
    return status;
}

int runIdentify(const Options& given) {
    Options options = given;
    ReportFile report;
    if (!report.open(options)) return 2;
    if (!findBoard(options)) return 2;
    UniqueFile trace;
    if (!openTrace(options, trace)) return 2;
    makeStdoutBinary();
    auto sessions = makeSessions(options, nullptr, trace.get());
    const bool described = boardOptions(options).secondStage;
    std::vector<ChipIdentity> results(sessions.size());
    std::vector<std::function<void()>> tasks;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        tasks.push_back([session = sessions[i], &result = results[i], described] {
            result = session->board.identify();
            if (result.answer == ChipIdentity::Answer::noChip) session->console.statusLine("No Propeller answered");
            if (result.answer == ChipIdentity::Answer::chip && described && !result.board)
                session->console.statusLine(text::notDescribed);
        });
    }
    runParallel(tasks, -1, nullptr);
    int status = 0;
    std::vector<BoardReport> boards;
    std::vector<std::string> outcomes;
    std::vector<int> statuses;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const ChipIdentity::Answer answer = results[i].answer;
        status = std::max(status, identifyStatus(answer));
        boards.push_back(sessions[i]->recorder.report(sessions[i]->board.address().displayName()));
        outcomes.emplace_back(answer == ChipIdentity::Answer::chip     ? "identified"
                              : answer == ChipIdentity::Answer::noChip ? "no-chip"
                                                                       : "port-not-opened");
        statuses.push_back(identifyStatus(answer));
    }
    std::fflush(statusStream(options));
    if (!options.report.empty() && !report.write(identifyReportText(boards, outcomes, statuses)))
        status = std::max(status, 2);
    return status;
}

int runList() {
    const auto ports = listSerialPorts();
    if (ports.empty()) std::cerr << "kestrupload: no serial ports found\n";
    for (const auto& p : ports) std::cout << p.port << (p.description.empty() ? "" : "  " + p.description) << "\n";
    return 0;
}

int runScan(const Options& options) {
    const auto ports = listSerialPorts();
    if (ports.empty()) {
        std::cerr << "kestrupload: no serial ports found\n";
        return 1;
    }
    const Probes probes = probeAll(ports, options, true);
    int found = 0;
    for (const auto& p : probes.each) {
        std::cout << p->name << ": " << p->verdict() << "\n";
        if (!p->answered()) continue;
        ++found;
        // The board as --identify describes it, a line each below its port's.
        if (p->identity.board)
            for (const auto& line : boardLines(*p->identity.board)) std::cout << "  " << line << "\n";
    }
    std::cout.flush();
    // Probes still stuck in a port must not hold the process.
    if (probes.stuck) std::_Exit(found > 0 ? 0 : 1);
    return found > 0 ? 0 : 1;
}

int runInfo(const Options& options) {
    const ImageFile file = readImageFile(options.image, UploadJob::imageBufferBytes);
    if (!file.wasRead()) {
        std::cerr << "kestrupload: " << options.image
                  << (file.state == ImageFile::State::missing ? ": no such file" : ": cannot be read: " + file.error)
                  << "\n";
        return 2;
    }
    const ImageVerdict verdict = verdictOn(file);
    std::cout << describeImage(verdict, file.size);
    return verdict.ok() ? 0 : 1;
}

}  // namespace kestrup::cli
