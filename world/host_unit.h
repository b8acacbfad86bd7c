// The host telemetry unit at the far end of the buoy's host serial line. It listens at its
// own rate, keeps the bytes it receives, cuts the stream into lines and checks the checksum
// of every sentence, and sends telecommands from a script at given simulated times. Like the
// real unit it does not notice when the buoy changes its rate: the script must say so.
//
// Script (ondavix-sim --host-script FILE), one command per line:
//   SECONDS FIELDS        sends "$KVX03," FIELDS "*" checksum CR LF: "600 1,8" sends
//                         "$KVX03,1,8*4F" CR LF at simulated second 600
//   SECONDS baud RATE     from then on the unit listens and sends at RATE, one of the buoy's
//                         host rates: 4800 9600 14400 19200 28800 38400 56000 57600 115200
//   SECONDS raw TEXT      sends TEXT as it is, without a line end. TEXT starts at the first
//                         non-blank after "raw" and runs to the end of the line, "#" and
//                         trailing blanks included (no comment on such a line)
//   SECONDS rawhex HEX    sends the bytes written as hexadecimal pairs (blanks between pairs
//                         allowed): "700 rawhex FF5A 0D0A"
// SECONDS is simulated time since the world started: digits with up to nine decimals
// ("600", "600.25"), at most 1e9. Times never go backwards; commands at the same time go out
// in the order written. "#" starts a comment, on a line of its own or after a command; blank
// lines are allowed; a CR before the line feed (files written on Windows) is ignored.
//
// host.log (log_text()): a header of "#" lines, then one row per received line in order of
// arrival, fields separated by two blanks:
//   TIME_S  CHECK  END  TEXT
//   TIME_S  simulated seconds at which the line's last byte arrived, truncated to the
//           millisecond, right-aligned in 11 columns ("    600.135")
//   CHECK   "ok  " sentence (first character "$") whose checksum is right
//           "BAD " sentence whose checksum is wrong, missing or malformed
//           "txt " plain text line (the banner, "#OLA," lines, messages)
//   END     "crlf" the line ended with CR LF, "lf  " with a bare line feed, "cut " a "$" or
//           the 4096-byte line limit started a new line, "open" the run ended mid-line
//   TEXT    the line without its line end. Printable ASCII and well-formed UTF-8 (U+FFFD)
//           as they are; a backslash as \\, CR as \r, LF as \n, tab as \t, any other byte
//           as \xHH
// What the unit itself did is interleaved in time order as rows starting with "#":
//   "#   600.000  sent  $KVX03,1,8*4F\r\n"   (the bytes queued, escaped as above)
//   "#   900.000  baud  56000"
// so a reader sees each reply under its command and a program may skip every "#" row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "world/link.h"

namespace sim {

// The buoy's host port starts at 38400 baud until a stored rate code says otherwise.
constexpr uint32_t kHostDefaultBaud = 38400;
// The host rates the buoy can be set to (its host baud-code table, codes 0 to 8).
constexpr uint32_t kHostBaudRates[9] = {4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200};
// Longest line kept whole, bytes: the buoy's longest reply (the last raw record, up to 1024
// characters plus its frame) fits with room; binary bytes from transparent mode with no line
// feed are cut here so one row cannot grow without end.
constexpr size_t kHostLineLimit = 4096;
// Latest command time a script may give, s (about 31 years of simulated time).
constexpr uint64_t kHostScriptMaxSeconds = 1000000000;

struct HostCommand {
    enum class Kind {
        Send, // put `bytes` on the line
        Baud, // listen and send at `baud` from now on
    };
    Nanos time = 0;
    Kind kind = Kind::Send;
    std::vector<uint8_t> bytes; // Send: exactly what goes on the line, line end included
    uint32_t baud = 0;          // Baud: the new rate
    size_t line = 0;            // where the command is written in the script, 1-based
};

struct HostScript {
    std::string name;                  // the file name, for messages
    std::vector<HostCommand> commands; // in the order written; times never decrease
};

enum class LineCheck {
    Text,  // does not start with "$": no checksum expected
    Right, // sentence with the right checksum
    Wrong, // sentence with a wrong, missing or malformed checksum
};

enum class LineEnd {
    CrLf, // CR LF, as every line of the buoy should end
    Lf,   // a line feed without CR
    Cut,  // a "$" or the line limit started the next line
    Open, // not finished yet
};

struct HostLine {
    Nanos time = 0;    // arrival of the line's last byte (its line feed when it has one)
    std::string text;  // the bytes of the line without its line end
    LineCheck check = LineCheck::Text;
    LineEnd end = LineEnd::CrLf;
};

// How much of host.log has been given out so far (HostUnit::log_rows).
struct HostLogPosition {
    bool header = false;
    uint64_t lines = 0; // completed lines
    uint64_t notes = 0; // the unit's own actions
};

class HostUnit : public UartDevice {
public:
    // Attaches to the device end of the host line and sets the unit's rate on it.
    HostUnit(Scheduler& clock, UartLink& line, uint32_t baud = kHostDefaultBaud);

    // Reads a script file. On failure returns nothing and sets `error` to
    // "FILE:LINE: what was expected, found what" (no line when the file cannot be read).
    static std::optional<HostScript> load_script(const std::string& path, std::string& error);
    // The same from a stream; `name` is the file name the messages quote.
    static std::optional<HostScript> parse_script(std::istream& in, const std::string& name, std::string& error);

    // Schedules every command of `script` at its time (a time already past goes out now).
    void schedule(const HostScript& script);
    // Sends bytes now; they leave at the unit's rate after anything still queued.
    void send(const std::vector<uint8_t>& bytes);
    // Listens and sends at `baud` from now on (the line's rate is the unit's own).
    void set_baud(uint32_t baud);
    uint32_t baud() const { return line_.baud(); }

    // One byte from the buoy has fully arrived.
    void on_byte(uint8_t b) override;

    // Completed lines in order of arrival (once keep_latest let some go, the latest).
    const std::vector<HostLine>& lines() const { return lines_; }
    // Lines completed in all, those let go included.
    uint64_t lines_received() const { return lines_dropped_ + lines_.size(); }
    // The line being received, if any bytes of it have arrived (end Open).
    std::optional<HostLine> open_line() const;
    // Every byte received, in order (once keep_latest let some go, the latest).
    const std::vector<uint8_t>& raw_bytes() const { return raw_; }
    // Bytes received in all: raw_bytes() holds those from raw_received() - raw_bytes().size().
    uint64_t raw_received() const { return raw_dropped_ + raw_.size(); }
    // The contents of host.log (format above): completed lines, the open line, the unit's
    // own actions (once keep_latest let some go, of those still kept).
    std::string log_text() const;
    // The rows of log_text() not given out yet at `at`, header included, the open line
    // left out (it may still grow); moves `at` past them. host.log written as the run goes:
    // every row once, in the order log_text() has them.
    std::string log_rows(HostLogPosition& at) const;
    // The open line's row of log_text(), empty when no line is open.
    std::string open_line_row() const;
    // A run of days writes host.log and host.raw as it goes and lets the oldest rows and
    // bytes go, so memory does not grow with its length (transparent mode alone brings some
    // 150 MB a day of sensor bytes): once 2 * `kept_lines` lines (or notes) or 2 * `kept_bytes`
    // bytes are held, keeps the latest `kept_lines` and `kept_bytes`, never one not given out
    // yet by log_rows at `written` or, of the bytes, before `raw_written`.
    void keep_latest(const HostLogPosition& written, uint64_t raw_written, size_t kept_lines, size_t kept_bytes);

private:
    // Something the unit did, shown in the log among the lines received.
    struct Note {
        Nanos time;
        uint64_t lines_before; // lines completed when it happened: it is shown after them
        std::string what;      // "sent" or "baud"
        std::string detail;
    };

    void run(const HostCommand& command);
    void close_line(LineEnd end);

    Scheduler& clock_;
    UartLink& line_;
    std::vector<uint8_t> raw_;
    std::vector<HostLine> lines_;
    std::string current_;     // bytes of the line being received
    Nanos current_last_ = 0;  // arrival of its latest byte
    uint32_t start_baud_;     // the rate it was attached with, for the log's header
    std::vector<Note> notes_;
    uint64_t lines_dropped_ = 0, notes_dropped_ = 0, raw_dropped_ = 0; // let go by keep_latest
};

} // namespace sim
