// kestrupload: the upload job from a command line.

#include "options.h"
#include "stdout_console.h"
#include "upload_job.h"

#include <cstdio>
#include <iostream>

using namespace kestrup;

namespace {

int exitStatus(UploadOutcome outcome) {
    switch (outcome) {
    case UploadOutcome::loaded: return 0;
    case UploadOutcome::portNotOpened: return 2;
    default: return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const cli::ParseResult parsed = cli::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "kestrupload: " << parsed.error << "\n" << cli::usage();
        return 2;
    }
    const cli::Options& options = parsed.options;
    if (options.action == cli::Options::Action::help) {
        std::cout << cli::usage();
        return 0;
    }
    if (options.action == cli::Options::Action::version) {
        std::cout << cli::versionText();
        return 0;
    }

    cli::makeStdoutBinary();
    cli::StdoutConsole console;
    cli::StderrNotifier notifier;
    Clock& clock = systemClock();
    const auto port = makeSystemSerialPort();
    SerialLink link(*port, clock, console);
    LoaderProtocol protocol(link, console);
    UploadJob job(link, protocol, console, notifier, clock);
    return exitStatus(job.run(options.image, options.ports.front()));
}
