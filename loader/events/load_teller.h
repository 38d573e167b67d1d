#pragma once
// How the loader layer tells a load's events, each step stamped with the load's clock, in the
// terms of the steps the ROM's protocol and the second stage share.

#include "base/clock.h"
#include "events/load_events.h"

namespace kestrup {

class LoadTeller {
public:
    LoadTeller(LoadEvents& events, Clock& clock) : events_(events), clock_(clock) {}

    void tell(const LoadEvent& event) { events_.on(event); }
    void begin(Step step);
    void end(Step step, bool ok);
    // The open step's end where the port did not open.
    void notOpened(PortOpen why);
    void finished();

    void version(std::int32_t version) { tell(ChipVersion{version}); }
    void writing(std::int32_t byteCount, LoadTarget target);
    // The image is all on its way: the chip sums it now.
    void verifying();
    // Into RAM: the chip took the checksum and runs the image, or refused it.
    void ramVerdict(bool acknowledged) { end(Step::verify, acknowledged); }
    // Into the EEPROM, step by step: the checksum (then programming starts), the programming (then
    // its verification), the verification.
    void eepromChecksum(bool acknowledged);
    void eepromProgrammed(bool done);
    void eepromVerified(bool done) { end(Step::eepromVerify, done); }

private:
    LoadEvents& events_;
    Clock& clock_;
};

}  // namespace kestrup
