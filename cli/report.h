#pragma once
// kestrupload --report: what each board's load did, as JSON, for benches and scripts. The stages
// of a load are read off the status lines it shows, each timed as it comes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "options.h"
#include "unique_handle.h"
#include "upload_console.h"
#include "upload_job.h"

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
    std::vector<StageRecord> stages;
    std::vector<std::string> statusLines;
    std::string pathLine;  // which path the load took, as it said on standard error; empty with --rom
    std::string outcome;
    int exitStatus = 0;
    double ms = 0;
};

// Stands between a load and the console that shows its lines: passes each line on, and makes the
// load's stages of them. A stage starts with the line that ends the one before.
class LoadRecorder final : public UploadConsole {
public:
    LoadRecorder(UploadConsole& shown, Clock& clock) : shown_(shown), clock_(clock) {}

    void open() override { shown_.open(); }
    void close() override { shown_.close(); }
    void statusLine(std::string_view message) override;
    // The load's path line.
    void path(std::string_view line) { report_.pathLine = line; }

    // The load starts now (its port is about to open).
    void start();
    // The load has ended now; a stage still open failed.
    void finish();
    // The board's entry, once the load has finished.
    BoardReport report(std::string port, UploadOutcome outcome, int exitStatus) const;

private:
    void begin(const char* stage);
    void end(bool ok);

    UploadConsole& shown_;
    Clock& clock_;
    std::int64_t startMicros_ = 0;
    std::int64_t stageMicros_ = 0;
    std::optional<std::string> openStage_;
    BoardReport report_;
};

// Every board's entry when the image was refused before anything was sent.
std::vector<BoardReport> refusedBoards(const std::vector<PortAddress>& ports);

// What the report says of the image, the same for every board.
struct ImageFacts {
    std::string name;
    std::optional<std::uintmax_t> size;    // none when the file is missing
    std::optional<std::uint8_t> checksum;  // the header's checksum byte; none without a header
};
ImageFacts imageFacts(const std::string& path);

// The report: one object for one board, an array of them for several.
std::string reportText(const Options& options, const ImageFacts& image, const std::vector<BoardReport>& boards);

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
