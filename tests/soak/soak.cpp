// Many uploads in one process, over real serial devices, alternating between boards: every upload
// must end as its board dictates, and nothing may pile up (open descriptors, memory) from one
// upload to the next.
//
// Usage: soak COUNT IMAGE DEVICE=OUTCOME [DEVICE=OUTCOME ...]
// OUTCOME is one of loaded, aborted, checksum. Pauses of a second and more are cut to 100 ms: the
// soak is about what stays behind, not about the teardown's wait.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/unique_handle_posix.h"
#include "rom/rom_loader.h"
#include "upload/load_lines.h"
#include "upload/upload_job.h"

using namespace kestrup;

namespace {

class QuickClock final : public Clock {
public:
    void pause(int milliseconds) override { systemClock().pause(milliseconds >= 1000 ? 100 : milliseconds); }
    std::int64_t nowMicros() override { return systemClock().nowMicros(); }
};

class CountingConsole final : public UploadConsole {
public:
    void open() override { ++opens; }
    void close() override { ++closes; }
    void statusLine(std::string_view message) override { last = std::string(message); }
    int opens = 0;
    int closes = 0;
    std::string last;
};

// A port that did not open, said where the window program would show its box.
class NoBoxes final : public LoadEvents {
public:
    void on(const LoadEvent& event) override {
        if (isOpenFailure(event)) std::fprintf(stderr, "box: the port did not open\n");
    }
};

int openDescriptors() {
    int n = 0;
    if (const UniqueDir d(opendir("/proc/self/fd")); d) {
        while (const dirent* e = readdir(d.get()))
            if (e->d_name[0] != '.') ++n;
    }
    return n - 1;  // the directory itself
}

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

const std::map<std::string, UploadOutcome> outcomes{{"loaded", UploadOutcome::loaded},
                                                    {"aborted", UploadOutcome::noChip},
                                                    {"checksum", UploadOutcome::notAcknowledged}};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: soak COUNT IMAGE DEVICE=OUTCOME...\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const std::string image = argv[2];
    std::vector<std::pair<std::string, UploadOutcome>> boards;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.rfind('=');
        if (eq == std::string::npos || !outcomes.count(arg.substr(eq + 1))) {
            std::fprintf(stderr, "soak: bad board %s\n", argv[i]);
            return 2;
        }
        boards.emplace_back(arg.substr(0, eq), outcomes.at(arg.substr(eq + 1)));
    }

    QuickClock clock;
    CountingConsole console;
    StatusLines lines(console);
    NoBoxes boxes;
    EventFan events({&lines, &boxes});
    auto port = makeSystemSerialPort();
    SerialLink link(*port, clock, events);
    LoaderProtocol protocol(link, events);
    RomLoader rom(link, protocol, UploadTiming::window().reset);
    UploadJob job(link, protocol, console, events, clock, UploadTiming::window(), {&rom});

    std::map<UploadOutcome, int> seen;
    int wrong = 0;
    int fdsAfterFirstRound = 0;
    long rssAfterFirstRound = 0;
    const int fdsBefore = openDescriptors();
    const long rssBefore = residentKilobytes();
    for (int i = 0; i < count; ++i) {
        const auto& [device, expected] = boards[static_cast<std::size_t>(i) % boards.size()];
        const UploadOutcome got = job.run(image, PortAddress::device(device));
        ++seen[got];
        if (got != expected) {
            ++wrong;
            std::fprintf(stderr, "upload %d to %s: outcome %d, expected %d (last line \"%s\")\n", i, device.c_str(),
                         static_cast<int>(got), static_cast<int>(expected), console.last.c_str());
        }
        if (i + 1 == static_cast<int>(boards.size())) {
            fdsAfterFirstRound = openDescriptors();
            rssAfterFirstRound = residentKilobytes();
        }
    }
    const int fdsAfter = openDescriptors();
    const long rssAfter = residentKilobytes();
    std::printf("uploads %d: loaded %d, aborted %d, checksum %d, wrong %d\n", count, seen[UploadOutcome::loaded],
                seen[UploadOutcome::noChip], seen[UploadOutcome::notAcknowledged], wrong);
    std::printf("open descriptors: before %d, after first round %d, after %d\n", fdsBefore, fdsAfterFirstRound,
                fdsAfter);
    std::printf("resident memory: before %ld kB, after first round %ld kB, after %ld kB\n", rssBefore,
                rssAfterFirstRound, rssAfter);
    std::printf("consoles opened %d, closed %d\n", console.opens, console.closes);
    // The first round may warm caches; from then on nothing may grow.
    const bool leaks = fdsAfter != fdsBefore || rssAfter > rssAfterFirstRound + 256;
    return wrong == 0 && !leaks && console.opens == console.closes ? 0 : 1;
}
