#include "board.h"

namespace kestrup {

Board::Board(PortAddress address, Clock& clock, UploadConsole& console, Notifier& notifier, BoardOptions options)
    : Board(std::move(address), makeSystemSerialPort(), clock, console, notifier, std::move(options)) {}

Board::Board(PortAddress address, std::unique_ptr<SerialPort> port, Clock& clock, UploadConsole& console,
             Notifier& notifier, BoardOptions options)
    : address_(std::move(address)),
      port_(std::move(port)),
      trace_(options.trace ? std::make_unique<TracingPort>(*port_, clock, options.trace, options.traceLabel) : nullptr),
      link_(wire(), clock, console),
      protocol_(link_, console),
      stagePath_(options.secondStage ? std::make_unique<StagePath>(wire(), clock, options.reset, options.timing,
                                                                   options.encoding, options.imageBaud)
                                     : nullptr),
      job_(link_, protocol_, console, notifier, clock, options.timing) {
    link_.setResetLine(options.reset);
    link_.setPolling(options.timing.polling);
    protocol_.setEncoding(options.encoding);
    if (stagePath_)
        job_.useStagePath(*stagePath_, options.pathLine ? *options.pathLine : console);
    else if (options.pathLine)
        job_.setPathLine(*options.pathLine);
}

void Board::setProgress(ProgressFn progress) {
    if (stagePath_) stagePath_->setProgress(progress);
    protocol_.setProgress(std::move(progress));
}

UploadOutcome Board::upload(const std::string& imagePath, LoadTarget target) {
    job_.setTarget(target);
    return job_.run(imagePath, address_);
}

}  // namespace kestrup
