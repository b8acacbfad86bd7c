#include "sim/simulation.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "world/kvx_sentence.h"
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

BoardConfig board_config(const Scenario& s) {
    BoardConfig c;
    c.oscillator_ppm = s.oscillator_ppm;
    c.heap_limit = s.heap_limit;
    return c;
}

} // namespace

bool write_text_file(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        error = path + ": cannot write";
        return false;
    }
    return true;
}

std::string signal_name(int signal) {
    if (signal == SIGINT) return "SIGINT";
    if (signal == SIGTERM) return "SIGTERM";
    return "signal " + std::to_string(signal);
}

namespace {

bool write_file(const std::string& path, const std::string& text, std::string& error) {
    return write_text_file(path, text, error);
}

bool make_dirs(const std::string& dir, std::string& error) {
    std::string part;
    std::stringstream ss(dir);
    std::string item;
    if (!dir.empty() && dir[0] == '/') part = "/";
    while (std::getline(ss, item, '/')) {
        if (item.empty()) continue;
        part += item + "/";
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = part + ": cannot create the output folder (" + std::strerror(errno) + ")";
            return false;
        }
    }
    return true;
}

// The firmware image, counting the samples it formed over all its boots: every boot starts
// from fresh globals, so each one's count is taken as it stops.
class CountedFirmware : public FirmwareSource {
public:
    explicit CountedFirmware(std::unique_ptr<FirmwareSource> inner) : inner_(std::move(inner)) {}
    FirmwareEntry boot() override { return inner_->boot(); }
    void shutdown() override {
        kept_ = newest(kept_stamp_);
        earlier_boots_ += running();
        inner_->shutdown();
    }
    bool restartable() const override { return inner_->restartable(); }
    void* symbol(const char* name) override { return inner_->symbol(name); }
    // Samples formed so far, this boot included.
    uint64_t formed() { return earlier_boots_ + running(); }
    // The sensor time stamp of the newest sample formed (by an earlier boot when this one
    // has formed none yet, or once the firmware is shut down); false before the first.
    bool newest(uint32_t& stamp) {
        const auto* t = static_cast<const int32_t*>(inner_->symbol("ltiempo_muestra_formada"));
        if (t && running() > 0) {
            stamp = static_cast<uint32_t>(*t);
            return true;
        }
        stamp = kept_stamp_;
        return kept_;
    }

private:
    uint64_t running() {
        const auto* n = static_cast<const uint32_t*>(inner_->symbol("lmuestras_formadas"));
        return n ? *n : 0;
    }
    std::unique_ptr<FirmwareSource> inner_;
    uint64_t earlier_boots_ = 0;
    bool kept_ = false;
    uint32_t kept_stamp_ = 0;
};
enum class PathKind { missing, file, folder, other, dangling_link };

PathKind path_kind(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) ? PathKind::file : S_ISDIR(st.st_mode) ? PathKind::folder : PathKind::other;
    if (lstat(path.c_str(), &st) == 0) return PathKind::dangling_link;
    return PathKind::missing;
}

std::string folder_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when a new file can be made in `dir`: one is made and removed again (access() would
// say yes to root on a read-only file system).
bool can_create_in(const std::string& dir, std::string& why) {
    std::string pattern = dir + "/.ondavix-probe-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    close(fd);
    unlink(name.data());
    return true;
}

[[noreturn]] void refuse(const std::string& message) { throw std::runtime_error(message); }

// An input file named on the command line: a folder or a dangling link in its place is
// named here rather than found by whatever reads it.
void check_input(const std::string& option, const std::string& path, const std::string& expected) {
    if (path.empty()) return;
    switch (path_kind(path)) {
    case PathKind::folder: refuse(option + " " + path + ": is a folder; expected " + expected);
    case PathKind::dangling_link: refuse(option + " " + path + ": a symbolic link to a missing file; expected " + expected);
    case PathKind::other: refuse(option + " " + path + ": not a regular file; expected " + expected);
    default: break;
    }
}

// A file the run writes, in place or new: never a folder, and its folder must take new files.
void check_output_file(const std::string& option, const std::string& path, const std::string& expected) {
    PathKind kind = path_kind(path);
    if (kind == PathKind::folder) refuse(option + " " + path + ": is a folder; expected " + expected);
    if (kind == PathKind::dangling_link)
        refuse(option + " " + path + ": a symbolic link to a missing file; expected " + expected +
               " (or a path where none exists yet)");
    if (kind == PathKind::other) refuse(option + " " + path + ": not a regular file; expected " + expected);
    std::string dir = folder_of(path), why;
    if (path_kind(dir) != PathKind::folder)
        refuse(option + " " + path + ": the folder " + dir + " does not exist; expected an existing folder");
    if (!can_create_in(dir, why)) refuse(option + " " + path + ": cannot write in the folder " + dir + " (" + why + ")");
}

// The firmware image is an ELF shared object; a text file or anything else is named now,
// not later by the loader under the name of its in-memory copy.
void check_firmware(const std::string& path) {
    check_input("--firmware", path, "the firmware image ondavix-fw.so");
    std::ifstream in(path, std::ios::binary);
    if (!in) return; // a missing image is named by the loader
    char magic[4] = {};
    in.read(magic, 4);
    if (in.gcount() != 4 || std::memcmp(magic, "\x7f" "ELF", 4) != 0)
        refuse("--firmware " + path + ": not a firmware image (no ELF header); expected the ondavix-fw.so the build makes");
}

// Opens `path` and takes an exclusive advisory lock on it without waiting; returns the
// descriptor that holds it, or -1 with `error` naming the file and saying when another run
// holds it.
int lock_eeprom_image(const std::string& path, std::string& error) {
    // The EEPROM image is replaced by a rename when saved: a lock taken on the file another
    // run has just replaced guards nothing, so it is taken again on the file now there.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = path + ": cannot open the EEPROM image to lock it (" + std::strerror(errno) + ")";
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            close(fd);
            if (e == EWOULDBLOCK)
                error = path + ": the EEPROM image is in use by another run (locked); expected one run at a time on an image";
            else
                error = path + ": cannot lock the EEPROM image (" + std::strerror(e) + ")";
            return -1;
        }
        struct stat held {}, now {};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
            held.st_dev == now.st_dev)
            return fd;
        close(fd);
    }
    error = path + ": the EEPROM image keeps being replaced by another run; expected one run at a time on an image";
    return -1;
}

} // namespace

std::string default_firmware_image() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "ondavix-fw.so";
    std::string exe(buf, static_cast<size_t>(n));
    return exe.substr(0, exe.find_last_of('/') + 1) + "ondavix-fw.so";
}

void Simulation::check_paths() {
    const Scenario& s = scenario_;
    PathKind out = path_kind(s.out_dir);
    if (out == PathKind::file || out == PathKind::other)
        refuse("--out " + s.out_dir + ": not a folder; expected an output folder (or the name of a new one)");
    std::string error, why;
    if (!make_dirs(s.out_dir, error)) refuse("--out " + error);
    if (!can_create_in(s.out_dir, why)) refuse("--out " + s.out_dir + ": cannot write in the output folder (" + why + ")");
    for (const char* name : {"/console.log", "/host.log", "/host.raw"})
        check_output_file("--out", s.out_dir + name, "a file the run writes");
    PathKind sd = path_kind(s.out_dir + "/sd");
    if (sd != PathKind::missing && sd != PathKind::folder)
        refuse("--out " + s.out_dir + "/sd: not a folder; expected the folder the card's files are copied to");
    if (s.eeprom_present)
        check_output_file("--eeprom", s.eeprom_file,
                          "an EEPROM image file of " + std::to_string(eeprom_.data().size()) + " bytes");
    if (s.card_present) check_output_file("--card", s.card_file, "an SD card image file");
    if (!s.summary_json.empty()) check_output_file("--summary-json", s.summary_json, "a file the summary is written to");
    check_input("--motion", s.motion_file,
                s.motion_format == "datawell" ? "a raw displacement file" : "a motion CSV file");
    check_input("--host-script", s.host_script, "a host script file");
    check_firmware(s.firmware_image.empty() ? default_firmware_image() : s.firmware_image);
}

void Simulation::lock_eeprom() {
    std::string error;
    const std::string& path = scenario_.eeprom_file;
    // A new image is made now, blank as the chip leaves the factory, so that it can be
    // locked for the whole run; a run that starts at the same moment finds it locked.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            refuse(path + ": cannot lock the new EEPROM image (" + std::strerror(errno) + ")");
        }
        const std::vector<uint8_t>& blank = eeprom_.data();
        if (write(fd, blank.data(), blank.size()) != static_cast<ssize_t>(blank.size())) {
            close(fd);
            unlink(path.c_str());
            refuse(path + ": cannot write the new EEPROM image");
        }
        eeprom_lock_.fd = fd;
        eeprom_lock_.made = path; // removed again if the run never starts
        return;
    }
    if (errno != EEXIST) refuse(path + ": cannot create the EEPROM image (" + std::strerror(errno) + ")");
    eeprom_lock_.fd = lock_eeprom_image(path, error);
    if (eeprom_lock_.fd < 0) refuse(error);
}

Simulation::Simulation(const Scenario& scenario)
    : scenario_(scenario), board_(board_config(scenario)), eeprom_(board_) {
    if (scenario_.card_file.empty()) scenario_.card_file = scenario_.out_dir + "/sd.img";
    if (scenario_.eeprom_file.empty()) scenario_.eeprom_file = scenario_.out_dir + "/eeprom.bin";
    // Every path is checked before any simulated time runs: a run of days must not end in
    // an output it cannot write.
    check_paths();
    console_.attach(board_, board_.connect_uart(1, &console_, 115200));
    UartLink& host_line = board_.connect_uart(0, nullptr, 38400);
    host_ = std::make_unique<HostUnit>(board_, host_line, 38400);
    board_.connect_uart(0, host_.get(), 38400);
    if (scenario_.pty) {
        // The same devices listen, with a pseudo-terminal beside each.
        console_pty_ = std::make_unique<PtyPort>(&console_, 115200);
        board_.connect_uart(1, console_pty_.get(), 115200);
        host_pty_ = std::make_unique<PtyPort>(host_.get(), 38400);
        board_.connect_uart(0, host_pty_.get(), 38400);
    }
    if (!scenario_.host_script.empty()) {
        std::string error;
        auto script = HostUnit::load_script(scenario_.host_script, error);
        if (!script) throw std::runtime_error(error);
        host_->schedule(*script);
    }
    // What an earlier run left in place: kept as a buoy keeps them, or given up (--fresh).
    std::vector<std::string> earlier;
    if (scenario_.eeprom_present) {
        std::string error;
        const bool existed = path_kind(scenario_.eeprom_file) == PathKind::file;
        lock_eeprom();
        // --fresh: the chip starts blank; the kept image is not read, and is replaced when
        // the run saves the chip.
        if (!(existed && scenario_.fresh) && !eeprom_.load(scenario_.eeprom_file, error))
            throw std::runtime_error(error);
        if (existed) earlier.push_back("the EEPROM image " + scenario_.eeprom_file);
        board_.connect_i2c(0x50, &eeprom_);
    }
    // DIP switch 1 on its pull-up: open reads high, closed pulls it to ground.
    board_.set_input(28, scenario_.dip1_closed ? 0 : 1);
    board_.set_input(29, 1);
    board_.set_input(30, 1);
    // The inertial sensor runs on its own power and clock from the start of the world.
    sensor_line_ = &board_.connect_uart(2, nullptr, 115200);
    if (!scenario_.record_sensor_file.empty()) {
        sensor_recorder_ =
            std::make_unique<SensorRecorder>(board_, *sensor_line_, scenario_.record_sensor_file);
        sensor_line_ = sensor_recorder_.get();
    }
    SbgSensorConfig sensor_config;
    sensor_config.rate_hz = scenario_.sensor_rate_hz;
    sensor_config.drop_probability = scenario_.sensor_drop;
    sensor_config.crc_error_probability = scenario_.sensor_crc_errors;
    if (!scenario_.motion_file.empty()) {
        replay_ = std::make_unique<MotionReplay>(
            scenario_.motion_format == "datawell"
                ? MotionReplay::load_datawell(scenario_.motion_file, scenario_.sensor_rate_hz, &datawell_)
                : MotionReplay::load(scenario_.motion_file));
        sensor_ = std::make_unique<SbgSensor>(board_, *sensor_line_, *replay_, sensor_config);
    } else if (!scenario_.sea_off) {
        sea_ = std::make_unique<Sea>(scenario_.sea);
        sensor_ = std::make_unique<SbgSensor>(board_, *sensor_line_, *sea_, sensor_config);
    }
    if (sensor_) sensor_->start();
    if (!scenario_.gps_model.empty()) {
        GpsReceiverOptions o;
        o.baud = scenario_.gps_baud;
        o.start_unix = scenario_.start_unix;
        o.ttff = static_cast<Nanos>(scenario_.gps_ttff_s * 1e9);
        o.ttff_hot = std::min(o.ttff, o.ttff_hot);
        o.no_fix = scenario_.gps_no_fix;
        o.satellites = scenario_.gps_satellites;
        o.pdop = scenario_.gps_pdop;
        o.hdop = scenario_.gps_hdop;
        o.vdop = scenario_.gps_vdop;
        o.latitude_deg = scenario_.gps_latitude;
        o.longitude_deg = scenario_.gps_longitude;
        o.checksum_error_probability = scenario_.gps_checksum_errors;
        UartLink& gps_line = board_.connect_uart(3, nullptr, scenario_.gps_baud);
        gps_ = make_gps_receiver(scenario_.gps_model, board_, gps_line, o);
        board_.connect_uart(3, gps_.get(), scenario_.gps_baud);
        // Pin 17 switches the receiver's supply: high = on.
        board_.on_output_change(17, [this](uint8_t level) { gps_->set_power(level != 0); });
    }
    if (scenario_.card_present) {
        SdCardConfig c;
        c.blocks = scenario_.card_blocks;
        c.high_capacity = scenario_.card_sdhc;
        c.erased_reads_ones = scenario_.card_erased_ones;
        c.lock = true; // held for the run: a second run on this image is refused
        std::string error;
        // An existing image keeps its own size: --card-size only shapes a new card.
        struct stat st {};
        const bool existed = stat(scenario_.card_file.c_str(), &st) == 0;
        if (existed && !scenario_.fresh) c.blocks = 0;
        c.fresh = scenario_.fresh;
        if (existed) earlier.insert(earlier.begin(), "the card image " + scenario_.card_file);
        card_ = std::make_unique<SdCard>(c);
        if (!card_->open(scenario_.card_file, error)) throw std::runtime_error(error);
        board_.connect_card(card_.get());
        for (const auto& span : scenario_.card_out) {
            board_.at(static_cast<Nanos>(span.first * 1e9), [this] { card_->set_present(false); });
            // A card put back after the run ends is never put back: no event (and no
            // overflowing conversion of a huge TO to nanoseconds).
            if (span.second <= scenario_.duration_s)
                board_.at(static_cast<Nanos>(span.second * 1e9), [this] { card_->set_present(true); });
        }
    }
    for (double t : scenario_.resets)
        board_.at(static_cast<Nanos>(t * 1e9), [] { throw BoardReset{"reset line pulled by the scenario"}; });
    schedule_timeline();
    std::string image = scenario_.firmware_image.empty() ? default_firmware_image() : scenario_.firmware_image;
    auto counted = std::make_unique<CountedFirmware>(std::make_unique<LoadableFirmware>(image));
    CountedFirmware* samples = counted.get();
    firmware_ = std::move(counted);
    samples_formed_ = [samples] { return samples->formed(); };
    newest_formed_ = [samples](uint32_t& stamp) { return samples->newest(stamp); };
    // Losses in the first minute (start-up, first GPS fix) are told apart from later ones.
    if (sensor_ && scenario_.duration_s > 60.0) {
        board_.at(60 * kSecond, [this] {
            first_minute_sent_ = epochs_sent();
            first_minute_formed_ = samples_formed_();
            first_minute_seen_ = true;
        });
    }
    eeprom_lock_.made.clear(); // the run starts: the image is the run's to save
    if (!earlier.empty()) {
        std::string what = earlier[0] + (earlier.size() > 1 ? " and " + earlier[1] : "");
        if (scenario_.fresh)
            carried_over_ = "--fresh: a new card and a blank EEPROM replace " + what + " of an earlier run";
        else
            carried_over_ = "going on with " + what + " of an earlier run, as a buoy would (records are added to "
                            "the card's files, the EEPROM's counts and settings carry on); --fresh starts from a "
                            "new card and a blank EEPROM";
    }
}

void Simulation::schedule_timeline() {
    using Kind = TimelineEvent::Kind;
    const double end_s = scenario_.duration_s;
    for (const TimelineEvent& e : scenario_.events) {
        const Nanos at = static_cast<Nanos>(e.at * 1e9);
        // A span's end after the run's end never comes.
        const bool ends = e.until >= 0 && e.until <= end_s;
        const Nanos until = ends ? static_cast<Nanos>(e.until * 1e9) : 0;
        auto span = [&](std::function<void(bool)> set) {
            board_.at(at, [set] { set(true); });
            if (ends) board_.at(until, [set] { set(false); });
        };
        auto missing = [&](const char* what) {
            throw std::runtime_error(e.where + ".what: the run has no " + std::string(what) + " for this event");
        };
        switch (e.kind) {
        case Kind::Reset: {
            const std::string cause = "reset line pulled (" + e.where + ")";
            board_.at(at, [cause] { throw BoardReset{cause}; });
            break;
        }
        case Kind::PowerCut: {
            const std::string cause = "power cut (" + e.where + ")";
            board_.at(at, [this, cause] {
                // The sensor shares the supply: it starts again from power-up with the board.
                if (sensor_) sensor_->start();
                throw BoardReset{cause};
            });
            break;
        }
        case Kind::Console: console_.type_at(at, e.text + "\r"); break;
        case Kind::Telecommand: {
            const std::string line = kvx_telecommand(e.text) + "\r\n";
            board_.at(at, [this, line] { host_->send(std::vector<uint8_t>(line.begin(), line.end())); });
            break;
        }
        case Kind::SensorSilent:
            if (!sensor_) missing("sensor (--sea off)");
            span([this](bool on) { on ? sensor_->stop() : sensor_->start(); });
            break;
        case Kind::SensorGarbage: {
            if (!sensor_) missing("sensor (--sea off)");
            // Noise from a generator of its own: the same bytes on every run.
            std::vector<uint8_t> noise(e.count);
            uint64_t x = 0x9E3779B97F4A7C15ull ^ at;
            for (uint8_t& b : noise) {
                x = x * 6364136223846793005ull + 1442695040888963407ull;
                b = static_cast<uint8_t>(x >> 56);
            }
            board_.at(at, [this, noise] { sensor_line_->send(noise.data(), noise.size()); });
            break;
        }
        case Kind::SensorFaults: {
            if (!sensor_) missing("sensor (--sea off)");
            const double drop = e.drop, crc = e.crc;
            const double drop0 = scenario_.sensor_drop, crc0 = scenario_.sensor_crc_errors;
            span([this, drop, crc, drop0, crc0](bool on) { sensor_->set_faults(on ? drop : drop0, on ? crc : crc0); });
            break;
        }
        case Kind::GpsNoFix:
            if (!gps_) missing("GPS receiver (--gps none)");
            span([this](bool on) { gps_->set_sky(!on); });
            break;
        case Kind::CardOut:
            if (!card_) missing("card (--no-card)");
            span([this](bool on) { card_->set_present(!on); });
            break;
        case Kind::CardWriteErrors:
            if (!card_) missing("card (--no-card)");
            span([this](bool on) { card_->set_write_errors(on); });
            break;
        case Kind::CardFull: {
            if (!card_) missing("card (--no-card)");
            const size_t free_bytes = e.count;
            const std::string where = e.where;
            board_.at(at, [this, free_bytes, where] {
                card_->set_present(false);
                std::string why;
                if (!fill_card(*card_, free_bytes, why)) throw std::runtime_error(where + ": " + why);
            });
            board_.at(at + 2 * kSecond, [this] { card_->set_present(true); });
            break;
        }
        case Kind::EepromAbsent:
            if (!scenario_.eeprom_present) missing("EEPROM (--no-eeprom)");
            span([this](bool on) { eeprom_.set_absent(on); });
            break;
        case Kind::EepromWriteErrors:
            if (!scenario_.eeprom_present) missing("EEPROM (--no-eeprom)");
            span([this](bool on) { eeprom_.set_write_errors(on); });
            break;
        }
    }
}

Simulation::ImageLock::~ImageLock() {
    if (!made.empty()) unlink(made.c_str());
    if (fd >= 0) close(fd);
}

Simulation::~Simulation() = default;

namespace {

// What stays in memory of console.log, host.log and host.raw once written (at least; at
// most twice that): hours of the console at the default settings, so a test's run of an
// hour or two still reads its text whole; days of the host's usual lines; a minute or two of
// transparent mode's bytes.
constexpr size_t kConsoleKeptBytes = 512 * 1024;
constexpr size_t kHostKeptLines = 8192;
constexpr size_t kHostKeptBytes = 1024 * 1024;

struct FileCloser {
    void operator()(FILE* f) const { if (f) std::fclose(f); }
};
using LiveFile = std::unique_ptr<FILE, FileCloser>;

LiveFile open_live(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error(path + ": cannot write (" + std::strerror(errno) + ")");
    return LiveFile(f);
}

// "5:03:20" from seconds.
std::string clock_text(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    auto s = static_cast<unsigned long long>(seconds + 0.5);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

} // namespace

struct Simulation::LiveFiles {
    LiveFile console, host_log, host_raw;
    uint64_t console_done = 0, raw_done = 0; // bytes written of all received
    HostLogPosition log_at;
};

// A failed write (a full disk) is reported by write_outputs, naming the file.
void Simulation::put_live(FILE* f, const char* name, const void* data, size_t n) {
    if (n > 0 && (std::fwrite(data, 1, n, f) != n || std::fflush(f) != 0) && live_error_.empty())
        live_error_ = scenario_.out_dir + name + ": cannot write (" + std::strerror(errno) + ")";
}

void Simulation::write_live(LiveFiles& files) {
    const std::string& con = console_.text();
    const uint64_t con_first = console_.received() - con.size();
    const size_t con_from = static_cast<size_t>(files.console_done - con_first);
    put_live(files.console.get(), "/console.log", con.data() + con_from, con.size() - con_from);
    files.console_done = console_.received();
    const std::vector<uint8_t>& raw = host_->raw_bytes();
    const size_t raw_from = static_cast<size_t>(files.raw_done - (host_->raw_received() - raw.size()));
    put_live(files.host_raw.get(), "/host.raw", raw.data() + raw_from, raw.size() - raw_from);
    files.raw_done = host_->raw_received();
    std::string rows = host_->log_rows(files.log_at);
    put_live(files.host_log.get(), "/host.log", rows.data(), rows.size());
    // Written out, the oldest of it goes: a run of months takes the memory of a run of
    // hours. The results for the summary are read from the console first.
    intervals_.scan(con, console_.times(), con_first);
    console_.keep_latest(kConsoleKeptBytes);
    host_->keep_latest(files.log_at, files.raw_done, kHostKeptLines, kHostKeptBytes);
}

void Simulation::serve_ptys() {
    if (!console_pty_) return;
    console_pty_->flush();
    host_pty_->flush();
    // Typed now, they leave at the line's rate after anything still on it.
    std::string typed = console_pty_->read_typed();
    if (!typed.empty()) console_.type(typed);
    typed = host_pty_->read_typed();
    if (!typed.empty()) host_->send(std::vector<uint8_t>(typed.begin(), typed.end()));
}

void Simulation::run(const Live& live) {
    using Clock = std::chrono::steady_clock;
    const Nanos end = static_cast<Nanos>(scenario_.duration_s * 1e9 + 0.5);
    LiveFiles files;
    files.console = open_live(scenario_.out_dir + "/console.log");
    files.host_log = open_live(scenario_.out_dir + "/host.log");
    files.host_raw = open_live(scenario_.out_dir + "/host.raw");
    write_live(files);
    // The observer only reads, so the run is the same with it as without.
    const Clock::time_point wall0 = Clock::now();
    Clock::time_point next_write = wall0 + std::chrono::seconds(1), next_progress = next_write;
    Nanos next_write_at = 60 * kSecond;
    bool progress_shown = false;
    // Every 10 ms when it paces the run to the wall clock or serves pseudo-terminals, every
    // 100 ms otherwise (each look reads the wall clock: 3 % of a run at full speed).
    const bool paced = scenario_.realtime > 0 || console_pty_;
    board_.set_observer((paced ? 10 : 100) * kMilli, [&] {
        if (live.stop && *live.stop) {
            stopped_by_ = *live.stop;
            board_.stop();
            return;
        }
        const Nanos now = board_.now();
        if (scenario_.realtime > 0) {
            // Virtual time waits for the wall clock; what was typed meanwhile goes into the
            // line at the instant reached.
            const Clock::time_point due =
                wall0 + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(now) / 1e9 / scenario_.realtime));
            for (;;) {
                serve_ptys();
                const Clock::duration left = due - Clock::now();
                if (left <= Clock::duration::zero() || (live.stop && *live.stop)) break;
                // Whole milliseconds, rounded up: the due time is absolute, so a late wake-up is
                // made good at the next look instead of adding up.
                const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
                struct pollfd fds[2] = {};
                nfds_t nfds = 0;
                if (console_pty_) {
                    fds[0] = {console_pty_->fd(), POLLIN, 0};
                    fds[1] = {host_pty_->fd(), POLLIN, 0};
                    nfds = 2;
                }
                poll(fds, nfds, ms);
            }
        }
        const Clock::time_point wall = Clock::now();
        if (now >= next_write_at || wall >= next_write) {
            write_live(files);
            next_write_at = now + 60 * kSecond;
            next_write = wall + std::chrono::seconds(1);
        }
        if (live.progress && wall >= next_progress) {
            next_progress = wall + std::chrono::seconds(1);
            const double sim_s = static_cast<double>(now) / 1e9, total_s = static_cast<double>(end) / 1e9;
            const double wall_s = std::chrono::duration<double>(wall - wall0).count();
            const double speed = wall_s > 0 ? sim_s / wall_s : 0;
            const double left_s = speed > 0 ? (total_s - sim_s) / speed : 0;
            std::fprintf(stderr, "\r\033[Ksimulated %s of %s (%.0f %%), %.0f x real time, ends in about %s",
                         clock_text(sim_s).c_str(), clock_text(total_s).c_str(), 100 * sim_s / total_s, speed,
                         left_s < 100 ? (std::to_string(static_cast<int>(left_s + 0.5)) + " s").c_str()
                                      : clock_text(left_s).c_str());
            std::fflush(stderr);
            progress_shown = true;
        }
    });
    struct Unobserve {
        Board& board;
        ~Unobserve() { board.set_observer(0, nullptr); }
    } unobserve{board_};
    board_.run(*firmware_, end);
    if (progress_shown) std::fputs("\r\033[K", stderr);
    write_live(files);
    // A line still without its end when the run stops ends host.log.
    const std::string open = host_->open_line_row();
    put_live(files.host_log.get(), "/host.log", open.data(), open.size());
    for (LiveFile* f : {&files.console, &files.host_log, &files.host_raw})
        if (std::fclose(f->release()) != 0 && live_error_.empty())
            live_error_ = scenario_.out_dir + ": cannot write console.log, host.log or host.raw (" + std::strerror(errno) + ")";
}

bool Simulation::write_outputs(std::string& error) {
    if (!make_dirs(scenario_.out_dir, error)) return false;
    // console.log, host.log and host.raw were written as the run went.
    if (!live_error_.empty()) {
        error = live_error_;
        return false;
    }
    if (scenario_.eeprom_present && !eeprom_.save(scenario_.eeprom_file, error)) return false;
    if (card_) {
        // The card is read as a person would after taking it out of the buoy.
        long n = export_card_files(scenario_.card_file, scenario_.out_dir + "/sd", card_mounted_, error,
                                   &card_unreadable_);
        if (n < 0) return false;
        card_files_copied_ = static_cast<uint64_t>(n);
    }
    // What the sea really was, for ondavix-plot; a folder that now holds a replay or no sea
    // keeps no truth of an earlier run's sea.
    std::optional<tools::SeaTruthFigures> truth;
    const std::string truth_file = scenario_.out_dir + "/sea_truth.csv";
    if (sea_) {
        const SeaTruth& t = sea_->truth();
        truth = tools::SeaTruthFigures{t.hs_m, t.tp_s, t.tm02_s, t.mean_from_deg, t.spread_deg, scenario_.sea_text};
        if (!write_file(truth_file, tools::sea_truth_csv(*truth), error)) return false;
    } else if (unlink(truth_file.c_str()) != 0 && errno != ENOENT) {
        error = truth_file + ": cannot remove the truth of an earlier run's sea (" + std::strerror(errno) + ")";
        return false;
    }
    if (scenario_.plots) {
        tools::CardRecords records;
        if (card_ && !tools::read_card_folder(scenario_.out_dir + "/sd", tools::DirectionMethod::velocity, records, error))
            return false;
        plots_ = tools::PlotReport();
        if (!card_) plots_.notes.push_back("no card in the run: nothing to plot");
        else if (!tools::write_plots(records, truth, tools::PlotSpan(), scenario_.out_dir + "/plots", plots_, error))
            return false;
    }
    return true;
}

// Epochs the firmware could have formed by now: one that began less than 50 ms ago may still
// be on the line or waiting for the end of its burst (at 115200 baud the three logs take
// 11 to 16 ms, the burst ends after 2 ms of silence), and is not counted yet.
std::vector<ConsoleResult> Simulation::console_intervals() const {
    ConsoleIntervals all = intervals_;
    all.scan(console_.text(), console_.times(), console_.received() - console_.text().size());
    return all.results();
}

// The epochs sent, less those still on their way in: on the line, in the port or in the
// block the firmware has not cut yet (at 50 Hz a block holds up to a dozen). An epoch is
// on its way when it is newer than the newest sample formed and began less than a second
// ago; one older than that and never formed is lost, whatever comes after it.
uint64_t Simulation::epochs_sent() const {
    const SbgSensor::Stats& s = sensor_->stats();
    uint32_t newest = 0;
    const bool formed = newest_formed_(newest);
    uint64_t sent = s.epochs;
    for (uint64_t back = 0; back < std::min<uint64_t>(s.epochs, SbgSensor::Stats::kRecent); ++back) {
        const SbgSensor::Stats::Epoch& e = s.recent[(s.epochs - 1 - back) % SbgSensor::Stats::kRecent];
        const bool newer = !formed || static_cast<int32_t>(e.stamp - newest) > 0; // the counter wraps
        if (!newer || board_.now() >= e.at + kSecond) break;
        --sent;
    }
    return sent;
}

Simulation::SampleCounts Simulation::sample_counts() const {
    SampleCounts c;
    c.sent = epochs_sent();
    c.formed = samples_formed_();
    c.lost = static_cast<long long>(c.sent) - static_cast<long long>(c.formed);
    c.later = first_minute_seen_ ? c.lost - (static_cast<long long>(first_minute_sent_) -
                                             static_cast<long long>(first_minute_formed_))
                                 : 0;
    return c;
}

std::string Simulation::host_bytes() const {
    return std::string(host_->raw_bytes().begin(), host_->raw_bytes().end());
}

std::string Simulation::summary(double wall_seconds) const {
    std::ostringstream o;
    double sim_s = static_cast<double>(board_.now()) / 1e9;
    char line[256];
    std::snprintf(line, sizeof line, "simulated time   %.3f s (from %s)\n", sim_s, scenario_.start_text.c_str());
    o << line;
    std::snprintf(line, sizeof line, "wall time        %.3f s (%.0f x real time)\n", wall_seconds,
                  wall_seconds > 0 ? sim_s / wall_seconds : 0.0);
    o << line;
    if (stopped_by_) {
        std::snprintf(line, sizeof line, "stopped          by %s, before the %.15g s asked for\n",
                      signal_name(stopped_by_).c_str(), scenario_.duration_s);
        o << line;
    }
    o << "boots            " << board_.boots() << "\n";
    o << "restarts         " << board_.restarts().size() << "\n";
    for (const RestartRecord& r : board_.restarts()) {
        std::snprintf(line, sizeof line, "  at %12.3f s  %s\n", static_cast<double>(r.time) / 1e9, r.cause.c_str());
        o << line;
    }
    if (sea_) {
        const SeaTruth& t = sea_->truth();
        std::snprintf(line, sizeof line, "sea              %s\n", scenario_.sea_text.c_str());
        o << line;
        std::snprintf(line, sizeof line, "  truth          Hs %.3f m, Tp %.2f s, Tm02 %.2f s, from %.1f deg, spread %.1f deg\n",
                      t.hs_m, t.tp_s, t.tm02_s, t.mean_from_deg, t.spread_deg);
        o << line;
        if (t.regular_height_m > 0) {
            std::snprintf(line, sizeof line, "  every wave     H %.3f m\n", t.regular_height_m);
            o << line;
        }
    } else if (replay_) {
        o << "motion replay    " << scenario_.motion_file << " (" << replay_->recorded_epochs() << " epochs)\n";
        if (scenario_.motion_format == "datawell") {
            std::snprintf(line, sizeof line,
                          "  datawell       %zu samples at 1.28 Hz, %zu with a bad status interpolated (%zu of them "
                          "held at the ends)\n",
                          datawell_.rows, datawell_.bad_rows, datawell_.held_rows);
            o << line;
        }
    } else {
        o << "sea              off (no sensor traffic)\n";
    }
    if (sensor_) {
        const SampleCounts c = sample_counts();
        std::snprintf(line, sizeof line, "samples        formed %llu of %llu epochs sent (%lld lost, %lld after the first minute)\n",
                      static_cast<unsigned long long>(c.formed), static_cast<unsigned long long>(c.sent), c.lost,
                      c.later);
        o << line;
    }
    // The firmware's own figures of its last interval, as it printed them on the console,
    // to read beside the sea's truth above.
    const std::vector<ConsoleResult> results = console_intervals();
    if (!results.empty()) {
        std::string lines = results.back().lines;
        lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
        o << "firmware's last interval (heights cm, periods 0.1 s, directions 0.1 deg)\n";
        std::stringstream ls(lines);
        std::string l;
        while (std::getline(ls, l)) o << "  " << l << "\n";
    } else if (sea_ || replay_) {
        o << "firmware's last interval: none completed yet\n";
    }
    if (gps_) {
        std::snprintf(line, sizeof line, "gps              %s, left at %u baud, now %u baud, %llu power-ups\n",
                      gps_->model().c_str(), scenario_.gps_baud, gps_->baud(),
                      static_cast<unsigned long long>(gps_->stats().power_ups));
        o << line;
        if (gps_->first_fix_time()) {
            std::snprintf(line, sizeof line, "  first fix      at %.1f s\n", static_cast<double>(*gps_->first_fix_time()) / 1e9);
            o << line;
        } else {
            o << "  first fix      none\n";
        }
        std::snprintf(line, sizeof line, "  commands       %llu understood, %llu not, %llu refused for their checksum\n",
                      static_cast<unsigned long long>(gps_->stats().commands_received - gps_->stats().commands_not_understood),
                      static_cast<unsigned long long>(gps_->stats().commands_not_understood),
                      static_cast<unsigned long long>(gps_->stats().commands_bad_checksum));
        o << line;
    } else {
        o << "gps              none\n";
    }
    if (card_) {
        std::snprintf(line, sizeof line, "sd card          %s, %s, %.0f MiB: %llu blocks read, %llu written, %llu erase commands\n",
                      scenario_.card_file.c_str(), card_->high_capacity() ? "SDHC" : "standard capacity",
                      card_->block_count() / 2048.0, static_cast<unsigned long long>(card_->blocks_read()),
                      static_cast<unsigned long long>(card_->blocks_written()),
                      static_cast<unsigned long long>(card_->erase_commands()));
        o << line;
        if (card_mounted_)
            o << "  files          " << card_files_copied_ << " copied to " << scenario_.out_dir << "/sd/\n";
        else
            o << "  files          none: the image holds no FAT volume that mounts\n";
        if (!card_unreadable_.empty())
            o << "  unreadable     " << card_unreadable_.size() << " (the image is damaged there)\n";
        for (const std::string& u : card_unreadable_) o << "    " << u << "\n";
    } else {
        o << "sd card          none\n";
    }
    static const char* names[4] = {"host   (Serial0)", "console(Serial1)", "sensor (Serial2)", "gps    (Serial3)"};
    o << "serial ports     bytes in / bytes out / dropped by the receive queue\n";
    for (int u = 0; u < 4; ++u) {
        std::snprintf(line, sizeof line, "  %s  %10llu / %10llu / %llu\n", names[u],
                      static_cast<unsigned long long>(board_.uart_bytes_to_board(u)),
                      static_cast<unsigned long long>(board_.uart_bytes_from_board(u)),
                      static_cast<unsigned long long>(board_.uart_dropped(u)));
        o << line;
        // Where the bytes went: the first runs of drops, to match with the console.
        auto runs = board_.uart_drop_runs(u);
        for (size_t i = 0; i < runs.size() && i < 24; ++i) {
            std::snprintf(line, sizeof line, "      dropped %llu bytes from %.3f s\n",
                          static_cast<unsigned long long>(runs[i].second), static_cast<double>(runs[i].first) / 1e9);
            o << line;
        }
        if (runs.size() > 24) o << "      ... " << runs.size() - 24 << " more runs\n";
    }
    o << "output           " << scenario_.out_dir << "/console.log, " << scenario_.out_dir << "/host.log (host.raw: its bytes)\n";
    if (scenario_.plots) {
        o << "plots            " << plots_.written.size() << " in " << scenario_.out_dir << "/plots/\n";
        for (const std::string& n : plots_.notes) o << "  " << n << "\n";
    }
    return o.str();
}

std::string Simulation::summary_json(double wall_seconds) const {
    using nlohmann::json;
    json j;
    j["simulated_s"] = static_cast<double>(board_.now()) / 1e9;
    j["duration_asked_s"] = scenario_.duration_s;
    j["start_utc"] = scenario_.start_text;
    j["wall_s"] = wall_seconds;
    j["stopped_by"] = stopped_by_ ? json(signal_name(stopped_by_)) : json(nullptr);
    j["boots"] = board_.boots();
    j["restarts"] = json::array();
    for (const RestartRecord& r : board_.restarts())
        j["restarts"].push_back({{"at_s", static_cast<double>(r.time) / 1e9}, {"cause", r.cause}});
    if (sensor_) {
        const SampleCounts c = sample_counts();
        j["samples"] = {{"formed", c.formed}, {"epochs_sent", c.sent}, {"lost", c.lost}, {"lost_after_first_minute", c.later}};
    } else {
        j["samples"] = nullptr;
    }
    if (sea_) {
        const SeaTruth& t = sea_->truth();
        json truth = {{"sea", scenario_.sea_text}, {"hs_m", t.hs_m}, {"tp_s", t.tp_s}, {"tm02_s", t.tm02_s},
                      {"mean_from_deg", t.mean_from_deg}, {"spread_deg", t.spread_deg}};
        if (t.regular_height_m > 0) truth["every_wave_h_m"] = t.regular_height_m;
        j["truth"] = truth;
    } else if (replay_) {
        j["truth"] = {{"motion_replay", scenario_.motion_file}, {"epochs", replay_->recorded_epochs()}};
    } else {
        j["truth"] = nullptr;
    }
    // Heights printed in cm, periods in 0.1 s, directions and spreads in 0.1 degree; 9999
    // is the firmware's "not computed" (a method that is off).
    struct Scaled {
        const char* name;
        const char* field;
        double per_unit;
    };
    static const Scaled kScaled[] = {
        {"hmax_m", "Hmax", 100.0},   {"h1_3_m", "H(1/3)", 100.0},   {"h1_10_m", "H(1/10)", 100.0},
        {"hav_m", "Hav", 100.0},     {"tmax_s", "Tmax", 10.0},      {"tp_s", "Tpico", 10.0},
        {"t1_3_s", "T(1/3)", 10.0},  {"t1_10_s", "T(1/10)", 10.0},  {"tav_s", "Tav", 10.0},
        {"direction_velocity_deg", "DirMedMetVel", 10.0}, {"direction_drift_deg", "DirMedMetDer", 10.0},
        {"spread_velocity_deg", "DesvMetVel", 10.0},      {"spread_drift_deg", "DesvMetDer", 10.0},
    };
    j["intervals"] = json::array();
    for (const ConsoleResult& r : console_intervals()) {
        const std::map<std::string, long> f = result_fields(r);
        auto n = f.find("NumOlas");
        json interval = {
            {"printed_at_s", r.at_s},
            {"firmware_time", r.firmware_time.empty() ? json(nullptr) : json(r.firmware_time)},
            {"n", n == f.end() ? json(nullptr) : json(n->second)},
        };
        for (const Scaled& k : kScaled) {
            auto it = f.find(k.field);
            interval[k.name] = it == f.end() || it->second == 9999 ? json(nullptr)
                                                                   : json(static_cast<double>(it->second) / k.per_unit);
        }
        interval["firmware"] = f;
        j["intervals"].push_back(std::move(interval));
    }
    if (gps_) {
        j["gps"] = {{"model", gps_->model()},
                    {"first_fix_s", gps_->first_fix_time() ? json(static_cast<double>(*gps_->first_fix_time()) / 1e9)
                                                           : json(nullptr)},
                    {"power_ups", gps_->stats().power_ups}};
    } else {
        j["gps"] = nullptr;
    }
    if (card_) {
        j["card"] = {{"image", scenario_.card_file}, {"blocks_read", card_->blocks_read()},
                     {"blocks_written", card_->blocks_written()}, {"files_copied", card_files_copied_},
                     {"unreadable", card_unreadable_}};
    } else {
        j["card"] = nullptr;
    }
    static const char* ports[4] = {"host", "console", "sensor", "gps"};
    for (int u = 0; u < 4; ++u)
        j["serial_ports"][ports[u]] = {{"bytes_in", board_.uart_bytes_to_board(u)},
                                       {"bytes_out", board_.uart_bytes_from_board(u)},
                                       {"dropped", board_.uart_dropped(u)}};
    return j.dump(2) + "\n";
}

} // namespace sim
