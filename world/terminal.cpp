#include "world/terminal.h"

namespace sim {

void Terminal::on_byte(uint8_t b) {
    ++received_;
    text_.push_back(static_cast<char>(b));
    times_.push_back(clock_ ? clock_->now() : 0);
}

void Terminal::keep_latest(size_t kept) {
    if (kept == 0 || text_.size() < 2 * kept) return;
    const size_t drop = text_.size() - kept;
    text_.erase(0, drop);
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(drop));
}

void Terminal::type(const std::string& text) {
    if (line_) line_->send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void Terminal::type_at(Nanos t, const std::string& text) {
    if (!clock_) return;
    clock_->at(t, [this, text] { type(text); });
}

} // namespace sim
