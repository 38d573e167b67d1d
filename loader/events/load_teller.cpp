#include "events/load_teller.h"

namespace kestrup {

void LoadTeller::begin(Step step) {
    tell(Begun{step, clock_.nowMicros()});
}

void LoadTeller::end(Step step, bool ok) {
    tell(Ended{step, ok, clock_.nowMicros()});
}

void LoadTeller::notOpened(PortOpen why) {
    tell(Ended{Step::open, false, clock_.nowMicros(), std::move(why)});
}

void LoadTeller::finished() {
    tell(Finished{clock_.nowMicros()});
}

void LoadTeller::writing(std::int32_t byteCount, LoadTarget target) {
    tell(Loading{byteCount, target, clock_.nowMicros()});
}

void LoadTeller::verifying() {
    end(Step::load, true);
    begin(Step::verify);
}

void LoadTeller::eepromChecksum(bool acknowledged) {
    end(Step::verify, acknowledged);
    if (acknowledged) begin(Step::eepromProgram);
}

void LoadTeller::eepromProgrammed(bool done) {
    end(Step::eepromProgram, done);
    if (done) begin(Step::eepromVerify);
}

}  // namespace kestrup
