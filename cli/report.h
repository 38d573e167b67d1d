#pragma once
// kestrupload --report: what each board's load did, as JSON, for benches and scripts: each board's
// entry as its load's events told it, and what the one read of the image file found.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_handle.h"
#include "image/image_file.h"
#include "options.h"
#include "upload/load_lines.h"
#include "upload/upload_job.h"

namespace kestrup::cli {

struct StageRecord {
    std::string name;  // open, file, handshake, header, load, verify, eeprom-program, eeprom-verify
    bool ok = false;
    double ms = 0;
};

// One board's entry of the report.
struct BoardReport {
    std::string port;
    std::optional<int> chipVersion;
    std::optional<BoardDescribed> board;  // what --identify's program told
    std::vector<StageRecord> stages;
    std::vector<std::string> statusLines;
    std::string pathLine;  // which path the load took, as it said on standard error; empty with --rom
    bool stagePath = false;
    std::optional<std::size_t> eepromPages;       // written and verified by the second stage
    std::optional<std::size_t> eepromFailedPage;  // the one it found not acknowledged or read back wrong
    std::string outcome;
    int exitStatus = 0;
    double ms = 0;
};

// A board's exit status for its load's outcome: the process's is the highest of them.
int exitStatusOf(UploadOutcome outcome);

// A board's entry, made of its load's events: the steps as they began and ended, the chip's
// version, the path, the verdict, and the status lines as their view shows them.
class LoadRecorder final : public LoadEvents {
public:
    LoadRecorder() = default;
    LoadRecorder(const LoadRecorder&) = delete;
    LoadRecorder& operator=(const LoadRecorder&) = delete;

    void on(const LoadEvent& event) override;
    // The board's entry, once the load has finished.
    BoardReport report(std::string port) const;

private:
    void begin(Step step, std::int64_t micros);
    // The step under way ends, under the name it ends as (a missing file ends the handshake's).
    void end(Step step, bool ok, std::int64_t micros);

    class Kept final : public StatusSink {
    public:
        explicit Kept(std::vector<std::string>& lines) : lines_(lines) {}
        void statusLine(std::string_view message) override { lines_.emplace_back(message); }

    private:
        std::vector<std::string>& lines_;
    };

    BoardReport report_;
    UploadOutcome outcome_ = UploadOutcome::portNotOpened;
    std::optional<std::int64_t> startMicros_;  // none for a load refused before it began
    std::int64_t stepMicros_ = 0;
    std::optional<Step> step_;
    Kept kept_{report_.statusLines};
    StatusLines lines_{kept_};
};

// What the report says of the image, the same for every board.
struct ImageFacts {
    std::string name;
    std::optional<std::uintmax_t> size;    // none when the file is missing
    std::optional<std::uint8_t> checksum;  // the header's checksum byte; none without a header
};
ImageFacts imageFacts(const std::string& path, const ImageFile& file);

// The report: one object for one board, an array of them for several.
std::string reportText(const Options& options, const ImageFacts& image, const std::vector<BoardReport>& boards);

// --identify's report: each board's port, the chip's version and what the identify program told;
// `outcomes` (identified, no-chip, port-not-opened) and `statuses` go with `boards` one to one.
std::string identifyReportText(const std::vector<BoardReport>& boards, const std::vector<std::string>& outcomes,
                               const std::vector<int>& statuses);

// Where --report goes: a file opened before anything is sent (one that cannot be written stops the
// run before it starts), or standard output. Without --report, nowhere.
class ReportFile {
public:
    // False, said on standard error, when the file cannot be written.
    bool open(const Options& options);
    bool write(const std::string& text);

private:
    std::string path_;
    UniqueFile file_;
};

}  // namespace kestrup::cli
