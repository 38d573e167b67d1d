#include "board.h"

namespace kestrup {

Board::Board(PortAddress address, Clock& clock, UploadConsole& console, Notifier& notifier, BoardOptions options)
    : Board(std::move(address), makeSystemSerialPort(), clock, console, notifier, std::move(options)) {}

Board::Board(PortAddress address, std::unique_ptr<SerialPort> port, Clock& clock, UploadConsole& console,
             Notifier& notifier, BoardOptions options)
    : address_(std::move(address)),
      port_(std::move(port)),
      trace_(options.trace ? std::make_unique<TracingPort>(*port_, clock, options.trace, options.traceLabel) : nullptr),
      console_(console),
      link_(wire(), clock, console_),
      protocol_(link_, console_),
      rom_(link_, protocol_, console_, options.timing.reset, options.encoding),
      stage_(options.secondStage ? std::make_unique<StageLoader>(rom_, wire(), console_, clock, options.imageBaud)
                                 : nullptr),
      job_(link_, protocol_, console, notifier, clock, options.timing,
           stage_ ? std::vector<ImageLoader*>{stage_.get(), &rom_} : std::vector<ImageLoader*>{&rom_}) {
    link_.setResetLine(options.reset);
    link_.setPolling(options.timing.polling);
    if (options.pathLine || stage_) job_.setPathLine(options.pathLine ? *options.pathLine : console);
}

void Board::setProgress(ProgressFn progress) {
    if (stage_) stage_->setProgress(progress);
    rom_.setProgress(std::move(progress));
}

UploadOutcome Board::upload(const std::string& imagePath, LoadTarget target) {
    job_.setTarget(target);
    return job_.run(imagePath, address_);
}

}  // namespace kestrup
