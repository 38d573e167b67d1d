// propsim: a simulated Propeller boot loader on a pseudo-terminal.

#include <iostream>
#include <string>
#include <vector>

#include "propsim_options.h"
#include "pty_server.h"

int main(int argc, char** argv) {
    using namespace kestrup::sim;
    const PropsimParse parsed = parsePropsimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "propsim: " << parsed.error << "\n" << propsimUsage();
        return 2;
    }
    if (parsed.options.help) {
        std::cout << propsimUsage();
        return 0;
    }
    return servePty(parsed.options);
}
