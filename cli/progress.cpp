#include "progress.h"

#include <cstdio>
#include <string>

#include "base/clock.h"

namespace kestrup::cli {
namespace {

constexpr const char* pagesText = "Programming EEPROM: page ";

}  // namespace

ProgressDisplay::Slot& ProgressDisplay::add(std::string name) {
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->name = std::move(name);
    return *slots_.back();
}

std::string ProgressDisplay::render(std::int64_t nowMicros) const {
    std::string line;
    for (const auto& slot : slots_) {
        char text[160];
        const std::size_t pageTotal = slot->pageTotal.load();
        const std::size_t pages = slot->pages.load();
        if (pageTotal != 0 && pages < pageTotal) {
            if (slots_.size() == 1)
                std::snprintf(text, sizeof text, "%s%zu of %zu", pagesText, pages, pageTotal);
            else
                std::snprintf(text, sizeof text, "%s%s page %zu/%zu", line.empty() ? "" : "  ", slot->name.c_str(),
                              pages, pageTotal);
            line += text;
            continue;
        }
        const std::size_t total = slot->total.load();
        const std::int64_t start = slot->startMicros.load();
        const std::size_t sent = slot->sent.load();
        if (total == 0 || start < 0 || sent >= total) continue;
        const double seconds = static_cast<double>(nowMicros - start) / 1e6;
        const double rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0;
        const double left = rate > 0 ? static_cast<double>(total - sent) / rate : 0;
        if (slots_.size() == 1) {
            constexpr int width = 30;
            const int filled = static_cast<int>(width * sent / total);
            std::string bar(static_cast<std::size_t>(filled), '=');
            if (filled < width) bar += '>';
            bar.resize(width, ' ');
            std::snprintf(text, sizeof text, "[%s] %zu/%zu bytes  %.1f kB/s  %.1f s left", bar.c_str(), sent, total,
                          rate / 1000, left);
        } else {
            std::snprintf(text, sizeof text, "%s%s %3zu%%", line.empty() ? "" : "  ", slot->name.c_str(),
                          100 * sent / total);
        }
        line += text;
    }
    return line;
}

void ProgressDisplay::draw(std::int64_t nowMicros) {
    if (!enabled_) return;
    const std::string line = render(nowMicros);
    if (line.empty()) return;
    // Appended piecewise: gcc 12 at -O3 warns falsely about "\r" + line.
    std::string out(1, '\r');
    out += line;
    const std::size_t before = drawnWidth_.exchange(line.size());
    if (line.size() < before) out.append(before - line.size(), ' ');
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void ProgressDisplay::clear() {
    if (!enabled_) return;
    const std::size_t width = drawnWidth_.exchange(0);
    if (width == 0) return;
    std::string out(width + 2, ' ');
    out.front() = '\r';
    out.back() = '\r';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void SlotProgress::on(const LoadEvent& event) {
    if (const auto* pages = std::get_if<EepromPages>(&event)) {
        if (slot_) {
            slot_->pageTotal = pages->total;
            slot_->pages = pages->done;
        }
        // The last page's line is the path lines': all written and verified.
        if (plain_ && pages->failure == PageFailure::none && pages->done < pages->total &&
            pages->done >= plainPages_ + pagesPerPlainLine) {
            plainPages_ = pages->done - pages->done % pagesPerPlainLine;
            plain_->statusLine(std::string(pagesText) + std::to_string(pages->done) + " of " +
                               std::to_string(pages->total));
        }
        return;
    }
    const auto* progress = std::get_if<Progress>(&event);
    if (!progress || !slot_) return;
    // The rate is reckoned from the first news of bytes on their way.
    if (slot_->startMicros.load() < 0) slot_->startMicros = systemClock().nowMicros();
    slot_->total = progress->total;
    slot_->sent = progress->sent;
}

}  // namespace kestrup::cli
