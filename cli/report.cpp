#include "report.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "image/image.h"

namespace kestrup::cli {
namespace {

std::string outcomeName(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::loaded:
            return "loaded";
        case UploadOutcome::portNotOpened:
            return "port-not-opened";
        case UploadOutcome::fileMissing:
            return "file-missing";
        case UploadOutcome::noChip:
            return "no-chip";
        case UploadOutcome::headerRejected:
            return "header-rejected";
        case UploadOutcome::notAcknowledged:
            return "not-acknowledged";
        case UploadOutcome::eepromFailed:
            return "eeprom-failed";
        case UploadOutcome::notStarted:
            return "not-started";
        case UploadOutcome::fileUnreadable:
            return "file-unreadable";
        case UploadOutcome::imageRefused:
            return "image-refused";
    }
    return "?";
}

// Tenths of a millisecond: finer than a busy machine's timing means anything.
double roundedMs(double ms) {
    return std::round(ms * 10) / 10;
}

std::string stepName(Step step) {
    switch (step) {
        case Step::open:
            return "open";
        case Step::file:
            return "file";
        case Step::handshake:
            return "handshake";
        case Step::header:
            return "header";
        case Step::load:
            return "load";
        case Step::verify:
            return "verify";
        case Step::eepromProgram:
            return "eeprom-program";
        case Step::eepromVerify:
            return "eeprom-verify";
    }
    return "?";
}

double msBetween(std::int64_t fromMicros, std::int64_t toMicros) {
    return roundedMs(static_cast<double>(toMicros - fromMicros) / 1000);
}

}  // namespace

int exitStatusOf(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::loaded:
            return 0;
        case UploadOutcome::portNotOpened:
            return 2;
        default:
            return 1;
    }
}

void LoadRecorder::on(const LoadEvent& event) {
    lines_.on(event);
    if (const auto* begun = std::get_if<Begun>(&event)) {
        if (begun->step == Step::open) startMicros_ = begun->micros;
        begin(begun->step, begun->micros);
    } else if (const auto* loading = std::get_if<Loading>(&event)) {
        begin(Step::load, loading->micros);
    } else if (const auto* ended = std::get_if<Ended>(&event)) {
        end(ended->step, ended->ok, ended->micros);
    } else if (const auto* version = std::get_if<ChipVersion>(&event)) {
        // A version of 0 or less is what a handshake cut short by a time-out leaves.
        if (version->version >= 1) report_.chipVersion = version->version;
    } else if (const auto* board = std::get_if<BoardDescribed>(&event)) {
        report_.board = *board;
    } else if (const auto* path = std::get_if<PathTaken>(&event)) {
        report_.pathLine = pathLineOf(*path);
        report_.stagePath = path->stage;
    } else if (const auto* pages = std::get_if<EepromPages>(&event)) {
        report_.eepromPages = pages->done;
        if (pages->failure != PageFailure::none) report_.eepromFailedPage = pages->failedPage;
    } else if (const auto* verdict = std::get_if<Verdict>(&event)) {
        outcome_ = verdict->outcome;
    } else if (const auto* finished = std::get_if<Finished>(&event)) {
        // A step still under way failed.
        if (step_) end(*step_, false, finished->micros);
        if (startMicros_) report_.ms = msBetween(*startMicros_, finished->micros);
    }
}

void LoadRecorder::begin(Step step, std::int64_t micros) {
    step_ = step;
    stepMicros_ = micros;
}

void LoadRecorder::end(Step step, bool ok, std::int64_t micros) {
    if (!step_) return;
    step_.reset();
    report_.stages.push_back({stepName(step), ok, msBetween(stepMicros_, micros)});
}

BoardReport LoadRecorder::report(std::string port) const {
    BoardReport report = report_;
    report.port = std::move(port);
    report.outcome = outcomeName(outcome_);
    report.exitStatus = exitStatusOf(outcome_);
    return report;
}

ImageFacts imageFacts(const std::string& path, const ImageFile& file) {
    ImageFacts facts{path, std::nullopt, std::nullopt};
    if (!file.wasRead()) return facts;
    facts.size = file.size;
    if (const auto header = readImageHeader(file.bytes)) facts.checksum = header->checksum;
    return facts;
}

std::string reportText(const Options& options, const ImageFacts& image, const std::vector<BoardReport>& boards) {
    using Json = nlohmann::ordered_json;
    const auto orNull = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    const char* target = !options.eeprom ? "ram" : options.run ? "eeprom-run" : "eeprom-shutdown";
    Json entries = Json::array();
    for (const BoardReport& board : boards) {
        Json stages = Json::array();
        for (const StageRecord& stage : board.stages)
            stages.push_back({{"stage", stage.name}, {"result", stage.ok ? "ok" : "failed"}, {"ms", stage.ms}});
        entries.push_back({
            {"port", board.port},
            {"chip_version", orNull(board.chipVersion)},
            {"image", {{"name", image.name}, {"size", orNull(image.size)}, {"checksum_byte", orNull(image.checksum)}}},
            {"path", board.stagePath ? "second-stage" : "rom"},
            {"path_line", board.pathLine.empty() ? Json(nullptr) : Json(board.pathLine)},
            {"encoding", options.encoding == LongEncoding::dense ? "dense" : "fixed"},
            {"timing", options.windowTiming ? "window" : "lean"},
            {"target", target},
            {"stages", stages},
            {"eeprom_pages", orNull(board.eepromPages)},
            {"eeprom_failed_page", orNull(board.eepromFailedPage)},
            {"status_lines", board.statusLines},
            {"outcome", board.outcome},
            {"exit_status", board.exitStatus},
            {"ms", board.ms},
        });
    }
    const Json& report = boards.size() == 1 ? entries[0] : entries;
    // A port's or file's name may hold bytes that are not UTF-8: replaced, not refused.
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string identifyReportText(const std::vector<BoardReport>& boards, const std::vector<std::string>& outcomes,
                               const std::vector<int>& statuses) {
    using Json = nlohmann::ordered_json;
    const auto orNull = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    Json entries = Json::array();
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const BoardReport& board = boards[i];
        Json entry = {{"port", board.port}, {"chip_version", orNull(board.chipVersion)}};
        if (const auto& b = board.board) {
            const std::string size = eepromSizeOf(b->eeprom);
            entry["rc_clock_hz"] = b->rcHz;
            entry["crystal_hz"] = orNull(b->crystalHz);
            entry["eeprom"] = {{"answers", b->eeprom != EepromFound::none},
                               {"size", size.empty() ? Json(nullptr) : Json(size)}};
            entry["rates"] = b->rates;
        } else {
            entry["rc_clock_hz"] = nullptr;
            entry["crystal_hz"] = nullptr;
            entry["eeprom"] = nullptr;
            entry["rates"] = nullptr;
        }
        entry["status_lines"] = board.statusLines;
        entry["outcome"] = outcomes[i];
        entry["exit_status"] = statuses[i];
        entry["ms"] = board.ms;
        entries.push_back(std::move(entry));
    }
    const Json& report = boards.size() == 1 ? entries[0] : entries;
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool ReportFile::open(const Options& options) {
    path_ = options.report;
    if (path_.empty() || path_ == "-") return true;
    file_.reset(std::fopen(path_.c_str(), "w"));
    if (!file_) std::fprintf(stderr, "kestrupload: cannot write the report file %s\n", path_.c_str());
    return file_ != nullptr;
}

bool ReportFile::write(const std::string& text) {
    if (path_.empty()) return true;
    std::FILE* out = path_ == "-" ? stdout : file_.get();
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0 &&
                         (out == stdout || std::fclose(file_.release()) == 0);
    if (!written) std::fprintf(stderr, "kestrupload: cannot write the report file %s\n", path_.c_str());
    return written;
}

}  // namespace kestrup::cli
