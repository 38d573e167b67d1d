// Any image file, from anywhere: the upload job reads it into its bounded buffer, judges the
// header, and either loads exactly what the length word asks for or aborts, ending in its teardown.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/unique_handle.h"
#include "fakes.h"
#include "rom/rom_loader.h"
#include "upload/upload_job.h"

using namespace kestrup;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

std::string scratchFile() {
    return "/tmp/kestrup-fuzz-image-" + std::to_string(getpid()) + ".binary";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = scratchFile();
    if (size > 64 * 1024) return 0;
    {
        const UniqueFile out(std::fopen(path.c_str(), "wb"));
        if (!out) return 0;
        std::fwrite(data, 1, size, out.get());
    }
    test::FakePort port;
    test::VirtualClock clock;
    test::RecordingConsole console;
    SerialLink link(port, clock, console);
    LoaderProtocol protocol(link, console);
    RomLoader rom(link, protocol, UploadTiming::window().reset);
    UploadJob job(link, protocol, console, console, clock, UploadTiming::window(), {&rom});
    test::SimulatedBoard board(port, clock);
    port.existing = {comDeviceName(2)};

    const UploadOutcome outcome = job.run(path, PortAddress::com(2));
    check(!port.isOpen && console.opens == console.closes);
    const std::size_t lengthWord = size >= 10 ? (data[8] | (data[9] << 8)) : 0;
    const sim::SessionRecord load = board.last();
    if (outcome == UploadOutcome::headerRejected || outcome == UploadOutcome::noChip) {
        check(load.longs.empty() && load.command == 0u);
    } else {
        // The chip judges the checksum; either way it was asked for exactly the length word's longs.
        // An image whose pbase is not 0x0010 is taken, not started.
        const std::size_t pbase = data[6] | (data[7] << 8);
        check(outcome == UploadOutcome::notAcknowledged ||
              outcome == (pbase == 0x10 ? UploadOutcome::loaded : UploadOutcome::notStarted));
        check(size >= 12 && lengthWord / 4 <= (size + 3) / 4);
        check(load.longCount == lengthWord / 4);
        check(outcome == UploadOutcome::notAcknowledged || load.longs.size() == lengthWord / 4);
    }
    return 0;
}
