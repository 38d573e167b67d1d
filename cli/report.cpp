#include "report.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "image.h"
#include "messages.h"

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
    }
    return "?";
}

// Tenths of a millisecond: finer than a busy machine's timing means anything.
double roundedMs(double ms) {
    return std::round(ms * 10) / 10;
}

}  // namespace

void LoadRecorder::start() {
    startMicros_ = clock_.nowMicros();
    begin("open");
}

void LoadRecorder::begin(const char* stage) {
    if (openStage_) end(true);
    openStage_ = stage;
    stageMicros_ = clock_.nowMicros();
}

void LoadRecorder::end(bool ok) {
    if (!openStage_) return;
    report_.stages.push_back(
        {*openStage_, ok, roundedMs(static_cast<double>(clock_.nowMicros() - stageMicros_) / 1000)});
    openStage_.reset();
}

void LoadRecorder::statusLine(std::string_view message) {
    shown_.statusLine(message);
    report_.statusLines.emplace_back(message);
    const auto startsWith = [message](std::string_view prefix) { return message.substr(0, prefix.size()) == prefix; };
    if (message == text::startUpload) {
        begin("handshake");  // the image file is read and the chip reset meanwhile
    } else if (message == text::noSuchFile) {
        openStage_ = "file";
        end(false);
    } else if (startsWith(text::propellerVersion)) {
        // A version of 0 or less is what a handshake cut short by a time-out leaves.
        const int version = std::atoi(std::string(message.substr(text::propellerVersion.size())).c_str());
        if (version >= 1) report_.chipVersion = version;
        end(version >= 1);
    } else if (startsWith(text::writeInRam)) {
        begin("load");
    } else if (message == text::verify) {
        begin("verify");
    } else if (message == text::programming) {
        begin("eeprom-program");
    } else if (message == text::verifying) {
        begin("eeprom-verify");
    } else if (message == text::okRun || message == text::checksumOk || message == text::eepromRun ||
               message == text::eepromShutdown) {
        end(true);
    } else if (message == text::checksumError || message == text::programmingFailed || message == text::verifyFailed) {
        end(false);
    } else if (message == text::codeError) {
        // After a good handshake: the image is shorter than its own header says.
        if (!openStage_) begin("header");
        end(false);
    }
}

void LoadRecorder::finish() {
    end(false);
    report_.ms = roundedMs(static_cast<double>(clock_.nowMicros() - startMicros_) / 1000);
}

BoardReport LoadRecorder::report(std::string port, UploadOutcome outcome, int exitStatus) const {
    BoardReport report = report_;
    report.port = std::move(port);
    report.outcome = outcomeName(outcome);
    report.exitStatus = exitStatus;
    return report;
}

std::vector<BoardReport> refusedBoards(const std::vector<PortAddress>& ports) {
    std::vector<BoardReport> boards;
    for (const PortAddress& port : ports) boards.push_back({port.displayName(), {}, {}, {}, {}, "image-refused", 1, 0});
    return boards;
}

ImageFacts imageFacts(const std::string& path) {
    ImageFacts facts{path, std::nullopt, std::nullopt};
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return facts;
    facts.size = size;
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> head(imageHeaderBytes);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (const auto header = readImageHeader(head)) facts.checksum = header->checksum;
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
            {"path", board.pathLine.starts_with(text::stagePath) ? "second-stage" : "rom"},
            {"path_line", board.pathLine.empty() ? Json(nullptr) : Json(board.pathLine)},
            {"encoding", options.encoding == LongEncoding::dense ? "dense" : "fixed"},
            {"timing", options.windowTiming ? "window" : "lean"},
            {"target", target},
            {"stages", stages},
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
