#include "upload/load_lines.h"

#include "upload/messages.h"

namespace kestrup {
namespace {

std::string_view faultText(LinkFault fault) {
    switch (fault) {
        case LinkFault::timeOut:
            return text::timeOut;
        case LinkFault::hardwareLost:
            return text::hardwareLost;
        case LinkFault::unableToWrite:
            return text::unableToWrite;
        case LinkFault::transmitStall:
            return text::transmitStall;
        case LinkFault::unableToRead:
            return text::unableToRead;
    }
    return {};
}

}  // namespace

void StatusLines::on(const LoadEvent& event) {
    if (const auto* begun = std::get_if<Begun>(&event)) {
        began(begun->step);
    } else if (const auto* ended = std::get_if<Ended>(&event)) {
        this->ended(*ended);
    } else if (const auto* loading = std::get_if<Loading>(&event)) {
        target_ = loading->target;
        sink_.statusLine(std::string(text::writeInRam) + std::to_string(loading->bytes));
    } else if (const auto* version = std::get_if<ChipVersion>(&event)) {
        sink_.statusLine(std::string(text::propellerVersion) + std::to_string(version->version));
    } else if (const auto* fault = std::get_if<LinkFault>(&event)) {
        sink_.statusLine(faultText(*fault));
    } else if (const auto* board = std::get_if<BoardDescribed>(&event)) {
        for (const auto& line : boardLines(*board)) sink_.statusLine(line);
    }
}

void StatusLines::began(Step step) {
    if (step == Step::verify) sink_.statusLine(text::verify);
    if (step == Step::eepromProgram) sink_.statusLine(text::programming);
    if (step == Step::eepromVerify) sink_.statusLine(text::verifying);
}

void StatusLines::ended(const Ended& ended) {
    const bool ok = ended.ok;
    switch (ended.step) {
        case Step::open:
            if (ok) sink_.statusLine(text::startUpload);
            return;
        case Step::file:
            if (ended.unreadable) return sink_.statusLine(std::string(text::unableToReadFile) + *ended.unreadable);
            return sink_.statusLine(text::noSuchFile);
        case Step::handshake:
        case Step::header:
            if (!ok) sink_.statusLine(text::codeError);
            return;
        case Step::load:
            return;
        case Step::verify:
            return sink_.statusLine(!ok                          ? text::checksumError
                                    : target_ == LoadTarget::ram ? text::okRun
                                                                 : text::checksumOk);
        case Step::eepromProgram:
            if (!ok) sink_.statusLine(text::programmingFailed);
            return;
        case Step::eepromVerify:
            return sink_.statusLine(!ok                                ? text::verifyFailed
                                    : target_ == LoadTarget::eepromRun ? text::eepromRun
                                                                       : text::eepromShutdown);
    }
}

std::string eepromSizeOf(EepromFound found) {
    switch (found) {
        case EepromFound::kb16:
            return "16 KB";
        case EepromFound::kb32:
            return "32 KB";
        case EepromFound::kb64OrMore:
            return "64 KB or more";
        case EepromFound::none:
        case EepromFound::notTold:
            break;
    }
    return {};
}

std::vector<std::string> boardLines(const BoardDescribed& board) {
    std::vector<std::string> lines{std::string(text::rcClock) + text::megahertz(board.rcHz)};
    lines.push_back(board.crystalHz ? std::string(text::crystal) + text::megahertz(*board.crystalHz)
                                    : std::string(text::noCrystal));
    if (board.eeprom == EepromFound::none)
        lines.emplace_back(text::noEeprom);
    else if (board.eeprom == EepromFound::notTold)
        lines.emplace_back(text::eepromSizeNotTold);
    else
        lines.push_back(std::string(text::eeprom) + eepromSizeOf(board.eeprom));
    std::string port = std::string(text::port) + board.port + " at ";
    for (std::size_t i = 0; i < board.rates.size(); ++i) port += (i ? ", " : "") + std::to_string(board.rates[i]);
    lines.push_back(port + " baud");
    return lines;
}

std::string pathLineOf(const PathTaken& path) {
    std::string line =
        path.stage ? std::string(text::stagePath) + std::to_string(path.baud) + " baud" : std::string(text::romPath);
    if (path.crystal == CrystalUse::pll) line += text::onCrystalPll;
    if (path.crystal == CrystalUse::silent) line += text::crystalSilent;
    if (path.gaveWay != GaveWay::none) line += " (" + std::string(textOf(path.gaveWay)) + ")";
    return line;
}

void PathLines::on(const LoadEvent& event) {
    if (const auto* pages = std::get_if<EepromPages>(&event)) {
        if (pages->failure != PageFailure::none)
            sink_.statusLine(
                text::eepromPageFailedLine(pages->failedPage, pages->failure == PageFailure::readBackWrong));
        else if (pages->done == pages->total)
            sink_.statusLine(text::eepromPagesLine(pages->done));
    }
    if (const auto* path = std::get_if<PathTaken>(&event)) sink_.statusLine(pathLineOf(*path));
    const auto* verdict = std::get_if<Verdict>(&event);
    if (verdict && verdict->outcome == UploadOutcome::notStarted)
        sink_.statusLine(text::notStartedLine(verdict->pbase));
}

void NoComNotice::on(const LoadEvent& event) {
    if (isOpenFailure(event)) notifier_.notify(text::noComCaption, port_ + std::string(text::notFoundSuffix));
}

}  // namespace kestrup
