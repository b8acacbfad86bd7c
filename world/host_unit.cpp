#include "world/host_unit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <istream>

#include "world/kvx_sentence.h"

namespace sim {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

size_t skip_blanks(const std::string& s, size_t p) {
    while (p < s.size() && is_blank(s[p])) ++p;
    return p;
}

size_t word_end(const std::string& s, size_t p) {
    while (p < s.size() && !is_blank(s[p])) ++p;
    return p;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    for (size_t p = skip_blanks(s, 0); p < s.size(); p = skip_blanks(s, p)) {
        const size_t e = word_end(s, p);
        out.push_back(s.substr(p, e - p));
        p = e;
    }
    return out;
}

// Shortens a quoted piece of the script so one bad line cannot flood the message.
std::string quoted(const std::string& s) {
    return "\"" + (s.size() > 40 ? s.substr(0, 40) + "..." : s) + "\"";
}

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// "600" or "600.25" (up to nine decimals, exact to the nanosecond) into virtual time.
bool parse_time(const std::string& text, Nanos& t, std::string& reason) {
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (!all_digits(whole) || (dot != std::string::npos && !all_digits(frac))) {
        reason = "expected a time in seconds (e.g. 600 or 600.25), found " + quoted(text);
        return false;
    }
    if (frac.size() > 9) {
        reason = "expected at most nine decimals in the time (nanoseconds), found " + quoted(text);
        return false;
    }
    const size_t first = whole.find_first_not_of('0');
    if (first != std::string::npos && whole.size() - first > 10) {
        reason = "expected a time of at most " + std::to_string(kHostScriptMaxSeconds) + " s, found " + quoted(text);
        return false;
    }
    const uint64_t seconds = std::stoull(whole);
    if (seconds > kHostScriptMaxSeconds || (seconds == kHostScriptMaxSeconds && frac.find_first_not_of('0') != std::string::npos)) {
        reason = "expected a time of at most " + std::to_string(kHostScriptMaxSeconds) + " s, found " + quoted(text);
        return false;
    }
    uint64_t nanos = 0;
    for (size_t i = 0; i < 9; ++i) nanos = nanos * 10 + (i < frac.size() ? static_cast<uint64_t>(frac[i] - '0') : 0);
    t = seconds * kSecond + nanos;
    return true;
}

std::string host_rates_text() {
    std::string s;
    for (uint32_t b : kHostBaudRates) s += (s.empty() ? "" : ", ") + std::to_string(b);
    return s;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length of the well-formed UTF-8 sequence at p (2 to 4 bytes), or 0.
size_t utf8_length(const uint8_t* p, size_t n) {
    const uint8_t b = p[0];
    size_t len = 0;
    uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0; // overlong
        if (b == 0xED) hi = 0x9F; // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90; // overlong
        if (b == 0xF4) hi = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

// Bytes as the log shows them: printable ASCII and well-formed UTF-8 as they are, the rest
// escaped, so the log is one row per line and readable whatever arrived.
std::string escaped(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        if (b == '\\') {
            out += "\\\\";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else if (const size_t len = utf8_length(p + i, n - i)) {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
            continue;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
        ++i;
    }
    return out;
}

std::string escaped(const std::string& s) {
    return escaped(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Simulated seconds with milliseconds, truncated: a line never seems to arrive early.
std::string seconds_text(Nanos t) {
    const uint64_t ms = t / kMilli;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return buf;
}

std::string padded_left(const std::string& s, size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

const char* check_column(LineCheck c) {
    switch (c) {
    case LineCheck::Right: return "ok  ";
    case LineCheck::Wrong: return "BAD ";
    case LineCheck::Text: break;
    }
    return "txt ";
}

const char* end_column(LineEnd e) {
    switch (e) {
    case LineEnd::Lf: return "lf  ";
    case LineEnd::Cut: return "cut ";
    case LineEnd::Open: return "open";
    case LineEnd::CrLf: break;
    }
    return "crlf";
}

LineCheck classify(const std::string& text) {
    if (text.empty() || text[0] != '$') return LineCheck::Text;
    return kvx_check(text).verdict == ChecksumVerdict::Right ? LineCheck::Right : LineCheck::Wrong;
}

const char* const kLogHeader =
    "# Host unit: every line received from the buoy on the host serial line.\n"
    "# TIME_S  CHECK  END  TEXT\n"
    "#   TIME_S  simulated seconds when the line's last byte arrived (truncated to the ms)\n"
    "#   CHECK   ok = sentence (\"$\" first) with the right checksum; BAD = sentence with a\n"
    "#           wrong, missing or malformed checksum; txt = plain text line\n"
    "#   END     crlf; lf = bare line feed; cut = a \"$\" or the 4096-byte limit began a new\n"
    "#           line; open = the run ended mid-line\n"
    "#   TEXT    the line without its line end; \\\\ \\r \\n \\t and \\xHH stand for bytes that\n"
    "#           are not printable ASCII or UTF-8\n"
    "# Rows \"# TIME_S  sent  BYTES\" and \"# TIME_S  baud  RATE\" are what the unit itself did.\n";

} // namespace

HostUnit::HostUnit(Scheduler& clock, UartLink& line, uint32_t baud)
    : clock_(clock), line_(line), start_baud_(baud) {
    line_.set_baud(baud);
}

std::optional<HostScript> HostUnit::load_script(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the host script: " + std::strerror(errno);
        return std::nullopt;
    }
    return parse_script(in, path, error);
}

std::optional<HostScript> HostUnit::parse_script(std::istream& in, const std::string& name, std::string& error) {
    HostScript script;
    script.name = name;
    std::string line;
    size_t number = 0;
    std::string previous_time; // as written, for the message
    size_t previous_line = 0;
    const auto fail = [&](const std::string& message) {
        error = name + ":" + std::to_string(number) + ": " + message;
        return std::nullopt;
    };

    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back(); // files written on Windows
        const size_t p = skip_blanks(line, 0);
        if (p == line.size() || line[p] == '#') continue;

        HostCommand c;
        c.line = number;
        const size_t time_end = word_end(line, p);
        const std::string time_text = line.substr(p, time_end - p);
        std::string reason;
        if (!parse_time(time_text, c.time, reason)) return fail(reason);
        if (!script.commands.empty() && c.time < script.commands.back().time)
            return fail("time " + time_text + " is before " + previous_time + " on line " +
                        std::to_string(previous_line) + "; expected times that do not go backwards");

        const size_t k = skip_blanks(line, time_end);
        const size_t k_end = word_end(line, k);
        if (line.compare(k, k_end - k, "raw") == 0) {
            // The text runs to the end of the line: "#" is part of it, so no comment here.
            const size_t text = skip_blanks(line, k_end);
            if (text == line.size())
                return fail("expected the text to send after raw (e.g. 700 raw $KVX03,1,8*4F)");
            c.bytes.assign(line.begin() + static_cast<std::ptrdiff_t>(text), line.end());
        } else {
            const std::vector<std::string> w = words(line.substr(k, line.find('#', k) - k));
            if (w.empty())
                return fail("expected telecommand fields (e.g. 1,8), baud, raw or rawhex after the time");
            if (w[0] == "baud") {
                if (w.size() == 1) return fail("expected a baud rate after baud (" + host_rates_text() + ")");
                if (w.size() > 2) {
                    std::string found = w[1];
                    for (size_t i = 2; i < w.size(); ++i) found += " " + w[i];
                    return fail("expected one baud rate after baud, found " + quoted(found));
                }
                c.kind = HostCommand::Kind::Baud;
                for (uint32_t b : kHostBaudRates)
                    if (std::to_string(b) == w[1]) c.baud = b;
                if (c.baud == 0)
                    return fail("expected one of the buoy's host rates after baud (" + host_rates_text() +
                                "), found " + quoted(w[1]));
            } else if (w[0] == "rawhex") {
                std::string hex;
                for (size_t i = 1; i < w.size(); ++i) hex += w[i];
                bool ok = !hex.empty() && hex.size() % 2 == 0;
                for (char ch : hex) ok = ok && hex_value(ch) >= 0;
                if (!ok)
                    return fail("expected hexadecimal byte pairs after rawhex (e.g. FF5A06), found " +
                                quoted(hex));
                for (size_t i = 0; i < hex.size(); i += 2)
                    c.bytes.push_back(static_cast<uint8_t>(hex_value(hex[i]) * 16 + hex_value(hex[i + 1])));
            } else if (w[0] == "raw") {
                return fail("expected a blank and the text to send after raw (e.g. 700 raw $KVX03,1,8*4F)");
            } else {
                if (w.size() != 1)
                    return fail("expected the telecommand fields as one word (e.g. 1,8), or baud, raw or "
                                "rawhex, found " + quoted(line.substr(k, line.find('#', k) - k)));
                const std::string problem = kvx_fields_problem(w[0]);
                if (!problem.empty()) return fail(problem);
                const std::string sentence = kvx_telecommand(w[0]) + "\r\n";
                c.bytes.assign(sentence.begin(), sentence.end());
            }
        }
        script.commands.push_back(std::move(c));
        previous_time = time_text;
        previous_line = number;
    }
    if (in.bad()) {
        error = name + ":" + std::to_string(number + 1) + ": read error";
        return std::nullopt;
    }
    return script;
}

void HostUnit::schedule(const HostScript& script) {
    for (const HostCommand& c : script.commands) {
        const Nanos now = clock_.now();
        clock_.at(c.time < now ? now : c.time, [this, c] { run(c); });
    }
}

void HostUnit::run(const HostCommand& command) {
    if (command.kind == HostCommand::Kind::Baud)
        set_baud(command.baud);
    else
        send(command.bytes);
}

void HostUnit::send(const std::vector<uint8_t>& bytes) {
    line_.send(bytes.data(), bytes.size());
    notes_.push_back({clock_.now(), lines_received(), "sent", escaped(bytes.data(), bytes.size())});
}

void HostUnit::set_baud(uint32_t baud) {
    line_.set_baud(baud);
    notes_.push_back({clock_.now(), lines_received(), "baud", std::to_string(baud)});
}

void HostUnit::on_byte(uint8_t b) {
    raw_.push_back(b);
    // A sentence always begins a line: noise before it (a rate mismatch, sensor bytes in
    // transparent mode) is kept apart and the sentence is still checked on its own.
    if (b == '$' && !current_.empty()) close_line(LineEnd::Cut);
    current_last_ = clock_.now();
    if (b == '\n') {
        const bool cr = !current_.empty() && current_.back() == '\r';
        if (cr) current_.pop_back();
        close_line(cr ? LineEnd::CrLf : LineEnd::Lf);
        return;
    }
    current_.push_back(static_cast<char>(b));
    if (current_.size() >= kHostLineLimit) close_line(LineEnd::Cut);
}

void HostUnit::close_line(LineEnd end) {
    HostLine l;
    l.time = current_last_;
    l.text = std::move(current_);
    l.check = classify(l.text);
    l.end = end;
    lines_.push_back(std::move(l));
    current_.clear();
}

std::optional<HostLine> HostUnit::open_line() const {
    if (current_.empty()) return std::nullopt;
    HostLine l;
    l.time = current_last_;
    l.text = current_;
    l.check = classify(current_);
    l.end = LineEnd::Open;
    return l;
}

namespace {

void append_row(std::string& out, const HostLine& l) {
    out += padded_left(seconds_text(l.time), 11) + "  " + check_column(l.check) + "  " + end_column(l.end);
    if (!l.text.empty()) out += "  " + escaped(l.text);
    out += "\n";
}

} // namespace

std::string HostUnit::log_rows(HostLogPosition& at) const {
    std::string out;
    if (!at.header) {
        out = kLogHeader;
        out += "# The unit listened at " + std::to_string(start_baud_) + " baud from the start.\n";
        at.header = true;
    }
    // Positions count from the first line and note; those let go are not given again.
    at.lines = std::max(at.lines, lines_dropped_);
    at.notes = std::max(at.notes, notes_dropped_);
    const uint64_t lines_end = lines_received(), notes_end = notes_dropped_ + notes_.size();
    for (; at.notes < notes_end; ++at.notes) {
        const Note& n = notes_[at.notes - notes_dropped_];
        for (; at.lines < n.lines_before; ++at.lines) append_row(out, lines_[at.lines - lines_dropped_]);
        out += "#" + padded_left(seconds_text(n.time), 10) + "  " + n.what + "  " + n.detail + "\n";
    }
    for (; at.lines < lines_end; ++at.lines) append_row(out, lines_[at.lines - lines_dropped_]);
    return out;
}

std::string HostUnit::open_line_row() const {
    std::string out;
    if (const std::optional<HostLine> open = open_line()) append_row(out, *open);
    return out;
}

std::string HostUnit::log_text() const {
    HostLogPosition at;
    return log_rows(at) + open_line_row();
}

// By halves, as the terminal does; only what `written` has given out goes.
void HostUnit::keep_latest(const HostLogPosition& written, uint64_t raw_written, size_t kept_lines, size_t kept_bytes) {
    const auto drop_count = [](size_t size, size_t kept, uint64_t given_out) -> size_t {
        if (kept == 0 || size < 2 * kept) return 0;
        return static_cast<size_t>(std::min<uint64_t>(size - kept, given_out));
    };
    const uint64_t raw_first = raw_dropped_;
    if (size_t n = drop_count(raw_.size(), kept_bytes, raw_written > raw_first ? raw_written - raw_first : 0)) {
        raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(n));
        raw_dropped_ += n;
    }
    if (size_t n = drop_count(lines_.size(), kept_lines,
                              written.lines > lines_dropped_ ? written.lines - lines_dropped_ : 0)) {
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(n));
        lines_dropped_ += n;
    }
    if (size_t n = drop_count(notes_.size(), kept_lines,
                              written.notes > notes_dropped_ ? written.notes - notes_dropped_ : 0)) {
        notes_.erase(notes_.begin(), notes_.begin() + static_cast<std::ptrdiff_t>(n));
        notes_dropped_ += n;
    }
}

} // namespace sim
