#include "ide_automation.h"

namespace kestrup::app {

// The actions pass the terminal flags through unchanged.
static_assert(terminalFlag::minimize == static_cast<int>(terminalMinimize));
static_assert(terminalFlag::restore == static_cast<int>(terminalRestore));
static_assert(terminalFlag::front == static_cast<int>(terminalFront));

bool AutomatedIde::ideLookup() {
    return lookup_.lookUpIde() != WindowHandle::none;
}

void AutomatedIde::terminalLookup() {
    lookup_.lookUpTerminal();
}

void AutomatedIde::terminalControl(int flags) {
    lookup_.controlTerminal(static_cast<std::uint32_t>(flags));
}

// The sequences act on the window of the lookup that the action has just made, never on an older one.
void AutomatedIde::compileSequence() {
    keys_.compile(lookup_.ideWindow());
}

void AutomatedIde::saveImageSequence(const std::string& imagePath) {
    keys_.saveImage(lookup_.ideWindow(), imagePath);
}

}  // namespace kestrup::app
