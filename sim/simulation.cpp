#include "sim/simulation.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace sim {

namespace {

BoardConfig board_config(const Scenario& s) {
    BoardConfig c;
    c.oscillator_ppm = s.oscillator_ppm;
    c.heap_limit = s.heap_limit;
    return c;
}

bool write_file(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        error = path + ": cannot write";
        return false;
    }
    return true;
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
            error = part + ": cannot create the output folder";
            return false;
        }
    }
    return true;
}

} // namespace

std::string default_firmware_image() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "ondavix-fw.so";
    std::string exe(buf, static_cast<size_t>(n));
    return exe.substr(0, exe.find_last_of('/') + 1) + "ondavix-fw.so";
}

Simulation::Simulation(const Scenario& scenario)
    : scenario_(scenario), board_(board_config(scenario)), eeprom_(board_) {
    console_.attach(board_, board_.connect_uart(1, &console_, 115200));
    UartLink& host_line = board_.connect_uart(0, nullptr, 38400);
    host_ = std::make_unique<HostUnit>(board_, host_line, 38400);
    board_.connect_uart(0, host_.get(), 38400);
    if (!scenario_.host_script.empty()) {
        std::string error;
        auto script = HostUnit::load_script(scenario_.host_script, error);
        if (!script) throw std::runtime_error(error);
        host_->schedule(*script);
    }
    if (scenario_.eeprom_present) {
        std::string error;
        if (!eeprom_.load(scenario_.eeprom_file, error)) throw std::runtime_error(error);
        board_.connect_i2c(0x50, &eeprom_);
    }
    // DIP switch 1 on its pull-up: open reads high, closed pulls it to ground.
    board_.set_input(28, scenario_.dip1_closed ? 0 : 1);
    board_.set_input(29, 1);
    board_.set_input(30, 1);
    // The inertial sensor runs on its own power and clock from the start of the world.
    sensor_line_ = &board_.connect_uart(2, nullptr, 115200);
    SbgSensorConfig sensor_config;
    sensor_config.rate_hz = scenario_.sensor_rate_hz;
    if (!scenario_.motion_file.empty()) {
        replay_ = std::make_unique<MotionReplay>(MotionReplay::load(scenario_.motion_file));
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
    if (scenario_.card_file.empty()) scenario_.card_file = scenario_.out_dir + "/sd.img";
    if (scenario_.card_present) {
        SdCardConfig c;
        c.blocks = scenario_.card_blocks;
        c.high_capacity = scenario_.card_sdhc;
        c.erased_reads_ones = scenario_.card_erased_ones;
        card_ = std::make_unique<SdCard>(c);
        std::string error;
        // An existing image keeps its own size: --card-size only shapes a new card.
        struct stat st {};
        if (stat(scenario_.card_file.c_str(), &st) == 0) {
            c.blocks = 0;
            card_ = std::make_unique<SdCard>(c);
        } else if (!make_dirs(scenario_.out_dir, error)) {
            throw std::runtime_error(error);
        }
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
    std::string image = scenario_.firmware_image.empty() ? default_firmware_image() : scenario_.firmware_image;
    firmware_ = std::make_unique<LoadableFirmware>(image);
}

Simulation::~Simulation() = default;

void Simulation::run() {
    Nanos end = static_cast<Nanos>(scenario_.duration_s * 1e9 + 0.5);
    board_.run(*firmware_, end);
}

bool Simulation::write_outputs(std::string& error) {
    if (!make_dirs(scenario_.out_dir, error)) return false;
    if (!write_file(scenario_.out_dir + "/console.log", console_.text(), error)) return false;
    if (!write_file(scenario_.out_dir + "/host.log", host_->log_text(), error)) return false;
    if (!write_file(scenario_.out_dir + "/host.raw", host_bytes(), error)) return false;
    if (scenario_.eeprom_present && !eeprom_.save(scenario_.eeprom_file, error)) return false;
    if (card_) {
        // The card is read as a person would after taking it out of the buoy.
        long n = export_card_files(scenario_.card_file, scenario_.out_dir + "/sd", card_mounted_, error,
                                   &card_unreadable_);
        if (n < 0) return false;
        card_files_copied_ = static_cast<uint64_t>(n);
    }
    return true;
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
    } else {
        o << "sea              off (no sensor traffic)\n";
    }
    // The firmware's own figures of its last interval, as it printed them on the console,
    // to read beside the sea's truth above.
    const std::string& text = console_.text();
    size_t at = text.rfind("NumOlas=");
    if (at != std::string::npos) {
        size_t line_start = text.rfind('\n', at);
        line_start = line_start == std::string::npos ? 0 : line_start + 1;
        size_t end = text.find('\n', at);
        if (end != std::string::npos) end = text.find('\n', end + 1);
        std::string lines = text.substr(line_start, end == std::string::npos ? std::string::npos : end - line_start);
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
    return o.str();
}

} // namespace sim
