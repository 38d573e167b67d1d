// kestrupload: the upload job from a command line, and the tools around it.

#include <iostream>

#include "commands.h"
#include "options.h"
#include "platform.h"
#include "terminal.h"

using namespace kestrup;

int main(int argc, char** argv) {
    const cli::ParseResult parsed = cli::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "kestrupload: " << parsed.error << "\n" << cli::usage();
        return 2;
    }
    const cli::Options& options = parsed.options;
    cli::useFineSleeps();
    switch (options.action) {
        case cli::Options::Action::help:
            std::cout << cli::usage();
            return 0;
        case cli::Options::Action::version:
            std::cout << cli::versionText();
            return 0;
        case cli::Options::Action::upload:
            return options.image.empty() ? cli::runTerminal(options, nullptr) : cli::runUpload(options);
        case cli::Options::Action::identify:
            return cli::runIdentify(options);
        case cli::Options::Action::list:
            return cli::runList();
        case cli::Options::Action::scan:
            return cli::runScan(options);
        case cli::Options::Action::info:
            return cli::runInfo(options);
    }
    return 2;
}
