// One simulated deployment: the board, the devices around it, the firmware image, and the
// files a person reads afterwards.
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/sim/board.h"
#include "sim/pty_port.h"
#include "sim/scenario.h"
#include "sim/sensor_recorder.h"
#include "sim/console_intervals.h"
#include "world/eeprom.h"
#include "world/gps_receiver.h"
#include "world/host_unit.h"
#include "tools/plot/plots.h"
#include "world/motion_csv.h"
#include "world/sbg_sensor.h"
#include "world/sdcard.h"
#include "world/sea.h"
#include "world/terminal.h"

namespace sim {

class Simulation {
public:
    explicit Simulation(const Scenario& scenario);
    ~Simulation();

    // What a run does besides simulating; none of it changes a byte of what the firmware does.
    struct Live {
        bool progress = false; // a progress line on stderr, once a second of wall time
        // Set (by a signal handler, to the signal's number) to end the run at the instant
        // reached: the outputs are then those of a run of that length.
        const volatile std::sig_atomic_t* stop = nullptr;
    };
    // Boots the firmware and runs the scenario's duration, writing console.log, host.log and
    // host.raw as it goes (at least every simulated minute and every wall second); throws
    // std::runtime_error with a readable message when the run cannot be set up (image
    // missing, bad EEPROM file).
    void run(const Live& live);
    void run() { run(Live{}); }
    // What this run takes over from an earlier one in the same place (the card image, the
    // EEPROM image) or, with --fresh, replaces: one sentence for the person running it;
    // empty when everything is new.
    const std::string& carried_over() const { return carried_over_; }
    // The signal that ended the run before its duration, 0 if none did.
    int stopped_by() const { return stopped_by_; }
    // Writes the EEPROM file and copies the card's files to sd/ (console.log, host.log and
    // host.raw were written by run()). False with `error` on failure, a failed write of
    // those three included.
    bool write_outputs(std::string& error);
    // The closing summary, given the wall-clock seconds the run took.
    std::string summary(double wall_seconds) const;
    // The same as JSON (--summary-json), with every interval result the firmware printed.
    std::string summary_json(double wall_seconds) const;

    Board& board() { return board_; }
    Terminal& console() { return console_; }
    HostUnit& host() { return *host_; }
    // Every byte the firmware wrote on the host port.
    std::string host_bytes() const;
    Eeprom24& eeprom() { return eeprom_; }
    Sea* sea() { return sea_.get(); }
    SbgSensor* sensor() { return sensor_.get(); }
    GpsReceiver* gps() { return gps_.get(); }
    SdCard* card() { return card_.get(); }
    FirmwareSource& firmware() { return *firmware_; }
    const Scenario& scenario() const { return scenario_; }
    // The console and host pseudo-terminals (--pty), or null.
    const PtyPort* console_pty() const { return console_pty_.get(); }
    const PtyPort* host_pty() const { return host_pty_.get(); }

private:
    // Refuses (std::runtime_error naming the path) an output that could not be written or an
    // input that is not a file, before the run.
    void check_paths();
    // Takes the EEPROM image's lock, making the image blank when it is missing.
    void lock_eeprom();
    // console.log, host.log and host.raw while the run goes: what is new since the last call.
    struct LiveFiles;
    void write_live(LiveFiles& files);
    void put_live(FILE* f, const char* name, const void* data, size_t n);
    std::string live_error_;     // the first write of console.log, host.log or host.raw that failed
    ConsoleIntervals intervals_; // the firmware's results, read as the console goes
    // Every interval result the console holds, those already let go included.
    std::vector<ConsoleResult> console_intervals() const;
    // Hands the firmware's bytes to the pseudo-terminals and sends what was typed there.
    void serve_ptys();
    // The scenario file's timeline as board events.
    void schedule_timeline();

    Scenario scenario_;
    Board board_;
    Terminal console_;
    std::unique_ptr<HostUnit> host_;
    std::unique_ptr<PtyPort> console_pty_, host_pty_;
    Eeprom24 eeprom_;
    std::unique_ptr<Sea> sea_;
    std::unique_ptr<MotionReplay> replay_;
    DatawellReport datawell_;  // what --motion-format datawell replaced
    std::unique_ptr<SbgSensor> sensor_;
    UartLink* sensor_line_ = nullptr;
    std::unique_ptr<SensorRecorder> sensor_recorder_;
    std::unique_ptr<GpsReceiver> gps_;
    std::unique_ptr<SdCard> card_;
    uint64_t card_files_copied_ = 0;
    std::vector<std::string> card_unreadable_; // files the export could not read whole
    tools::PlotReport plots_;                  // what --plots drew
    bool card_mounted_ = false;
    std::unique_ptr<FirmwareSource> firmware_;
    uint64_t epochs_sent() const;
    struct SampleCounts {
        uint64_t sent = 0, formed = 0;
        long long lost = 0, later = 0; // later: lost after the first minute
    };
    SampleCounts sample_counts() const;
    std::function<uint64_t()> samples_formed_; // over every boot so far
    std::function<bool(uint32_t&)> newest_formed_; // the newest sample's stamp, this boot
    uint64_t first_minute_sent_ = 0, first_minute_formed_ = 0;
    bool first_minute_seen_ = false;
    // The EEPROM image's advisory lock (flock), held for the run; the card holds its own.
    // A blank image made for the lock is removed again when the run never starts.
    struct ImageLock {
        int fd = -1;
        std::string made;
        ImageLock() = default;
        ImageLock(const ImageLock&) = delete;
        ImageLock& operator=(const ImageLock&) = delete;
        ~ImageLock();
    };
    ImageLock eeprom_lock_;
    int stopped_by_ = 0;
    std::string carried_over_;
};

// Writes `text` as the whole of the file `path`; false with `error` naming it.
bool write_text_file(const std::string& path, const std::string& text, std::string& error);

// "SIGINT", "SIGTERM" (the names a person types to kill), else "signal N".
std::string signal_name(int signal);

// ondavix-fw.so beside the running executable.
std::string default_firmware_image();

// Copies every file of the FAT volume on a card image (partition 1, or the whole image
// without a partition table) into the folder `dest`, keeping the directory tree and the
// names: an entry's long name (in UTF-8) when its long-name entries are whole and carry its
// short name's checksum, else the short name (escaped as escaped_card_name does; a long
// name likewise, its UTF-8 kept). Reads the image only. A file or
// directory the image cannot give (a damaged chain, a read error) is copied as far as it
// reads and passed over with one line in `unreadable` naming it. Returns the number of
// files copied whole (`mounted` false and 0 when no FAT volume could be mounted), or -1 with
// `error` when the image cannot be opened or a copy cannot be written.
long export_card_files(const std::string& image, const std::string& dest, bool& mounted, std::string& error,
                       std::vector<std::string>* unreadable = nullptr);

// Fills the FAT volume on `card` (partition 1, or the whole card) as a computer would: one
// file, /RELLENO.BIN, written until at most `free_bytes` stay free. Works on the card as it
// is, present or not; the blocks it writes count among the card's. False with `error` when
// no volume mounts or a write fails.
bool fill_card(SdCard& card, uint64_t free_bytes, std::string& error);

// A short name from a card as text to print and to name a host file: bytes outside
// printable ASCII, '/' and '\\' as \xNN.
std::string escaped_card_name(const std::string& name);

} // namespace sim
