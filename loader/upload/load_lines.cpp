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

std::string pathLineOf(const PathTaken& path) {
    std::string line =
        path.stage ? std::string(text::stagePath) + std::to_string(path.baud) + " baud" : std::string(text::romPath);
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
