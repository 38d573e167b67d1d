#include "commands.h"

#include "image.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "stdout_console.h"
#include "tracing_port.h"
#include "upload_job.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

namespace kestrup::cli {
namespace {

// How long --scan gives one port to answer: a handshake with a chip takes well under a second.
constexpr int scanDeadlineMs = 3000;

std::string summaryOf(UploadOutcome outcome) {
    switch (outcome) {
    case UploadOutcome::loaded: return "loaded";
    case UploadOutcome::portNotOpened: return "port not found";
    case UploadOutcome::fileMissing: return "no such file";
    case UploadOutcome::headerRejected: return "aborted (image shorter than its header, or no chip)";
    case UploadOutcome::notAcknowledged: return "checksum error or no acknowledgement";
    case UploadOutcome::eepromFailed: return "EEPROM not programmed";
    }
    return "?";
}

int exitStatus(UploadOutcome outcome) {
    switch (outcome) {
    case UploadOutcome::loaded: return 0;
    case UploadOutcome::portNotOpened: return 2;
    default: return 1;
    }
}

// One board's serial link, protocol and job, owned by the thread that drives it.
struct Board {
    Board(const PortAddress& where, const Options& options, std::string prefix, ProgressDisplay* progress,
          std::FILE* trace)
        : address(where),
          systemPort(makeSystemSerialPort()),
          tracing(trace ? std::make_unique<TracingPort>(*systemPort, systemClock(), trace, prefix) : nullptr),
          console(std::move(prefix), progress),
          link(tracing ? static_cast<SerialPort&>(*tracing) : *systemPort, systemClock(), console),
          protocol(link, console),
          job(link, protocol, console, notifier, systemClock()) {
        link.setResetLine(options.reset);
        protocol.setEncoding(options.encoding);
    }

    PortAddress address;
    std::unique_ptr<SerialPort> systemPort;
    std::unique_ptr<TracingPort> tracing;
    StdoutConsole console;
    StderrNotifier notifier;
    SerialLink link;
    LoaderProtocol protocol;
    UploadJob job;
    UploadOutcome outcome = UploadOutcome::portNotOpened;
};

struct TraceFile {
    std::FILE* file = nullptr;
    ~TraceFile() {
        if (file) std::fclose(file);
    }
};

std::vector<std::shared_ptr<Board>> makeBoards(const Options& options, ProgressDisplay* progress, std::FILE* trace) {
    std::vector<std::shared_ptr<Board>> boards;
    const bool several = options.ports.size() > 1;
    for (const auto& address : options.ports)
        boards.push_back(std::make_shared<Board>(address, options, several ? address.displayName() + ": " : "", progress, trace));
    return boards;
}

bool openTrace(const Options& options, TraceFile& trace) {
    if (options.trace.empty()) return true;
    trace.file = std::fopen(options.trace.c_str(), "w");
    if (!trace.file) std::cerr << "kestrupload: cannot write the trace file " << options.trace << "\n";
    return trace.file != nullptr;
}

// Up to a little more than the chip's RAM: enough to judge any image and to see that a file is too big.
std::vector<std::uint8_t> readHead(const std::string& path, bool& found) {
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    std::vector<std::uint8_t> bytes(chipRamBytes + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

}  // namespace

int runUpload(const Options& options) {
    bool found = false;
    const auto head = readHead(options.image, found);
    // A missing file is the upload's to report, as the window program does.
    if (found && !options.force) {
        const ImageVerdict verdict = checkImage(head);
        if (verdict.refused()) {
            std::cerr << "kestrupload: " << options.image << " is not a loadable image:\n";
            for (const auto& p : verdict.problems) std::cerr << "  - " << p.text << "\n";
            std::cerr << "Nothing was sent. Use --force to load it anyway.\n";
            return 1;
        }
    }

    TraceFile trace;
    if (!openTrace(options, trace)) return 2;
    makeStdoutBinary();
    ProgressDisplay progress(stderrIsTerminal());
    auto boards = makeBoards(options, &progress, trace.file);
    const LoadTarget target = !options.eeprom ? LoadTarget::ram : options.run ? LoadTarget::eepromRun : LoadTarget::eepromShutdown;

    std::vector<std::function<void()>> tasks;
    for (auto& board : boards) {
        auto& slot = progress.add(board->address.displayName());
        board->job.setTarget(target);
        board->protocol.setProgress([&slot](std::size_t sent, std::size_t total) {
            if (slot.startMicros.load() < 0) slot.startMicros = systemClock().nowMicros();
            slot.total = total;
            slot.sent = sent;
        });
        tasks.push_back([board, image = options.image] { board->outcome = board->job.run(image, board->address); });
    }
    runParallel(tasks, -1, [&progress] { progress.draw(systemClock().nowMicros()); });
    progress.clear();

    int status = 0;
    for (const auto& board : boards) status = std::max(status, exitStatus(board->outcome));
    if (boards.size() > 1) {
        for (const auto& board : boards)
            std::printf("%s: %s\n", board->address.displayName().c_str(), summaryOf(board->outcome).c_str());
    }
    std::fflush(stdout);
    return status;
}

namespace {

enum class Identified { chip, noChip, noPort };

// Reset, handshake, shut the chip down again. Prints the version line when the chip answered.
Identified identify(Board& board) {
    SerialLink& link = board.link;
    if (!link.open(board.address)) {
        board.notifier.notify(text::noComCaption, board.address.displayName() + std::string(text::notFoundSuffix));
        return Identified::noPort;
    }
    link.chipReset();
    const std::int32_t version = board.protocol.handshake();
    board.protocol.sendLong(static_cast<std::uint32_t>(Command::shutdown));
    link.flush();
    link.purgeReceive();
    link.close();
    if (version < 1) board.console.statusLine("No Propeller answered");
    return version >= 1 ? Identified::chip : Identified::noChip;
}

}  // namespace

int runIdentify(const Options& options) {
    TraceFile trace;
    if (!openTrace(options, trace)) return 2;
    makeStdoutBinary();
    auto boards = makeBoards(options, nullptr, trace.file);
    std::vector<Identified> results(boards.size(), Identified::noChip);
    std::vector<std::function<void()>> tasks;
    for (std::size_t i = 0; i < boards.size(); ++i)
        tasks.push_back([board = boards[i], &result = results[i]] { result = identify(*board); });
    runParallel(tasks, -1, nullptr);
    int status = 0;
    for (const auto r : results) status = std::max(status, r == Identified::chip ? 0 : r == Identified::noPort ? 2 : 1);
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
    struct Probe {
        std::string name;
        std::atomic<int> version{-1};
        std::atomic<bool> opened{false};
    };
    std::vector<std::shared_ptr<Probe>> probes;
    std::vector<std::function<void()>> tasks;
    for (const auto& info : ports) {
        auto probe = std::make_shared<Probe>();
        probe->name = info.port;
        probes.push_back(probe);
        tasks.push_back([probe, options] {
            // Its own quiet console: the scan prints one line a port at the end.
            struct Quiet final : UploadConsole {
                void open() override {}
                void close() override {}
                void statusLine(std::string_view) override {}
            } quiet;
            auto port = makeSystemSerialPort();
            SerialLink link(*port, systemClock(), quiet);
            LoaderProtocol protocol(link, quiet);
            link.setResetLine(options.reset);
            if (!link.open(parsePort(probe->name))) return;
            probe->opened = true;
            link.chipReset();
            probe->version = protocol.handshake();
            protocol.sendLong(static_cast<std::uint32_t>(Command::shutdown));
            link.flush();
            link.close();
        });
    }
    const auto finished = runParallel(tasks, scanDeadlineMs + 200, nullptr);
    int found = 0;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const Probe& p = *probes[i];
        std::string verdict;
        if (!finished[i])
            verdict = "no answer within " + std::to_string(scanDeadlineMs / 1000) + " s";
        else if (!p.opened)
            verdict = "cannot be opened";
        else if (p.version >= 1)
            verdict = "Propeller version " + std::to_string(p.version.load());
        else
            verdict = "no Propeller";
        if (finished[i] && p.version >= 1) ++found;
        std::cout << p.name << ": " << verdict << "\n";
    }
    std::cout.flush();
    // Probes still stuck in a port must not hold the process.
    if (std::find(finished.begin(), finished.end(), false) != finished.end()) std::_Exit(found > 0 ? 0 : 1);
    return found > 0 ? 0 : 1;
}

int runInfo(const Options& options) {
    bool found = false;
    const auto head = readHead(options.image, found);
    if (!found) {
        std::cerr << "kestrupload: " << options.image << ": no such file\n";
        return 2;
    }
    std::size_t size = head.size();
    if (size > chipRamBytes) {
        std::ifstream in(options.image, std::ios::binary | std::ios::ate);
        size = static_cast<std::size_t>(in.tellg());
    }
    const ImageVerdict verdict = checkImage(head);
    std::cout << describeImage(verdict, size);
    return verdict.ok() ? 0 : 1;
}

}  // namespace kestrup::cli
