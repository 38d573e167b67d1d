#include "load_lines.h"

#include <string>

#include "messages.h"

namespace kestrup {

void LoadLines::version(std::int32_t version) {
    sink_.statusLine(std::string(text::propellerVersion) + std::to_string(version));
}

void LoadLines::writing(std::int32_t byteCount) {
    sink_.statusLine(std::string(text::writeInRam) + std::to_string(byteCount));
}

void LoadLines::verifying() {
    sink_.statusLine(text::verify);
}

void LoadLines::timeOut() {
    sink_.statusLine(text::timeOut);
}

void LoadLines::ramVerdict(bool acknowledged) {
    sink_.statusLine(acknowledged ? text::okRun : text::checksumError);
}

void LoadLines::eepromChecksum(bool acknowledged) {
    if (!acknowledged) return sink_.statusLine(text::checksumError);
    sink_.statusLine(text::checksumOk);
    sink_.statusLine(text::programming);
}

void LoadLines::eepromProgrammed(bool done) {
    sink_.statusLine(done ? text::verifying : text::programmingFailed);
}

void LoadLines::eepromVerified(bool done, bool run) {
    sink_.statusLine(!done ? text::verifyFailed : run ? text::eepromRun : text::eepromShutdown);
}

}  // namespace kestrup
