#include "stage/board_probe.h"

#include <algorithm>

#include "image/image.h"
#include "port/loader_line.h"
#include "stage/bootstrap.h"
#include "stage/firmware/firmware.h"
#include "stage/stage_loader.h"
#include "wire/wire.h"

namespace kestrup {
namespace {

std::int64_t hzOf(std::uint32_t syncClocks) {
    return std::int64_t{syncClocks} * identify::baud / identify::syncBits;
}

}  // namespace

EepromFound eepromFound(std::uint32_t answer) {
    if (!(answer & identify::eepromAnswered)) return EepromFound::none;
    const auto sameAt = [answer](int probe) { return (answer & (identify::eepromSameFirst << probe)) != 0; };
    // From the furthest probe down: a part wraps at its size, so its first bytes come again there
    // and at every multiple of it; bytes alike nearer in than that are its contents'.
    if (!sameAt(identify::eepromProbes - 1)) return EepromFound::kb64OrMore;
    if (!sameAt(identify::eepromProbes - 2)) return EepromFound::kb32;
    if (!sameAt(identify::eepromProbes - 3)) return EepromFound::kb16;
    return EepromFound::notTold;
}

BoardProbe::Answers BoardProbe::timeClocks(LoaderLine& line) {
    Answers answers;
    const auto sync = identify::sync();
    std::int64_t until = clock_.nowMicros() + std::int64_t{firstAnswerMs} * 1000;
    while (clock_.nowMicros() < until && !answers.crystal) {
        line.write(sync);
        for (auto answer = line.await(syncEveryMs, identify::takeAnswer); answer;
             answer = line.await(0, identify::takeAnswer)) {
            switch (answer->code) {
                case identify::answer::rcClock:
                    answers.rc = answer->value;
                    break;
                case identify::answer::eeprom:
                    answers.eeprom = answer->value;
                    until = clock_.nowMicros() + std::int64_t{crystalMs} * 1000;
                    break;
                case identify::answer::crystal:
                    answers.crystal = answer->value;
                    break;
            }
        }
    }
    return answers;
}

void BoardProbe::shutDownThroughRom(LoaderLine& line) {
    events_.setOpen(false);
    line.setBaud(StageLoader::romBaud, 1);
    link_.chipReset(rom_.reset());
    if (protocol_.handshake(HandshakeBits::threePerByte).isChip()) protocol_.shutDownChip();
    events_.setOpen(true);
}

BoardProbe::Result BoardProbe::describe(const std::string& portName) {
    Result result;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        result = attemptOnce(portName, attempt == 0);
        if (result.board || !result.handshake || !result.handshake->isChip()) break;
    }
    return result;
}

BoardProbe::Result BoardProbe::attemptOnce(const std::string& portName, bool first) {
    LoaderLine line(port_, clock_);
    // Every rate the probe goes at, before anything is sent: the ROM's, the pilot's and the
    // bootstrap's, and the one the program times clocks by.
    if (!line.setBaud(boot::baud) || !line.setBaud(identify::baud) || !line.setBaud(StageLoader::romBaud, 1)) return {};
    // The ROM's load of the pilot is no news: the chip's version is, as identify has always told it.
    events_.setOpen(false);
    const auto boot = bootRom(rom_, line, longsOf(firmware::pilot()));
    events_.setOpen(true);
    if (!first) {
        // Told by the attempt before.
    } else if (boot.handshake.isChip()) {
        told_.version(boot.handshake.version);
    } else if (boot.handshake.failure != HandshakeFailure::wrongBit) {
        // A reply bit that never came is told as the ROM's own handshake tells it.
        told_.tell(LinkFault::timeOut);
    }
    if (!boot.handshake.isChip() || boot.program != Acknowledgement::accepted) return {boot.handshake, {}};
    BoardDescribed board{portName, 0, std::nullopt, EepromFound::none, {line.baud()}};
    // The pilot stores a long in the stop bits, which at 8 MHz takes both.
    line.setBaud(StageLoader::romBaud, 2);
    Bootstrap bootstrap(line, clock_);
    const auto carried =
        bootstrap.send(longsOf(firmware::identifier()), StageLoader::helloWindowMs, StageLoader::lastHelloMs);
    // A 'K' lost on the way leaves the program started all the same: its answers tell. A pilot or
    // bootstrap that never answered may still be waiting for the host: shut down like any other.
    if (carried == Bootstrap::Outcome::noAnswer || carried == Bootstrap::Outcome::failed) {
        shutDownThroughRom(line);
        return {boot.handshake, {}};
    }
    for (const int rate : {boot::baud, line.baud(), identify::baud})
        if (std::find(board.rates.begin(), board.rates.end(), rate) == board.rates.end()) board.rates.push_back(rate);

    line.setBaud(identify::baud);
    line.forget();
    const Answers answers = timeClocks(line);
    if (!answers.rc || !answers.eeprom) {
        shutDownThroughRom(line);
        return {boot.handshake, {}};
    }
    board.rcHz = hzOf(*answers.rc);
    board.eeprom = eepromFound(*answers.eeprom);
    if (answers.crystal) board.crystalHz = hzOf(*answers.crystal);
    told_.tell(board);
    // A chip whose crystal did not run is stopped in the switch, or clocked by whatever its
    // oscillator makes of nothing: a reset leaves it as identify always has.
    if (!answers.crystal) shutDownThroughRom(line);
    return {boot.handshake, board};
}

}  // namespace kestrup
