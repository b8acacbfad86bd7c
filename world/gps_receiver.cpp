#include "world/gps_receiver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

// A command longer than this is garbage: the longest the models know, a PMTK314 with 20
// fields, is about 60 characters (NMEA itself allows 82 per sentence).
constexpr size_t kMaxCommandChars = 128;
// A burst is skipped while more than this much of earlier output still waits to leave:
// the receiver's transmit buffer is full (too many sentences for a slow rate).
constexpr size_t kBacklogBytes = 64;
// Satellites visible but not used in the fix, for the GSV sentences.
constexpr int kExtraSatellitesInView = 3;
constexpr int kMaxSatellitesInView = 16;
// User equivalent range error of a single-frequency fix, m (1 sigma); only scales the GST
// figures.
constexpr double kRangeError_m = 2.5;
// Height of the geoid above the ellipsoid reported in GGA, m. Nothing downstream reads it.
constexpr double kGeoidSeparation_m = 52.0;

[[noreturn]] void bad_option(const std::string& what) { throw std::invalid_argument("GPS receiver: " + what); }

std::string number(double v, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Latitude as ddmm.mmmm (deg_digits 2) or longitude as dddmm.mmmm (deg_digits 3), and its
// hemisphere letter.
std::string angle_text(double deg, int deg_digits, int decimals, char positive, char negative, char& hemisphere) {
    hemisphere = deg < 0 ? negative : positive;
    long long scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    const long long total = std::llround(std::fabs(deg) * 60.0 * static_cast<double>(scale));
    const long long whole_deg = total / (60 * scale);
    const long long rest = total % (60 * scale);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0*lld%02lld.%0*lld", deg_digits, whole_deg, rest / scale, decimals, rest % scale);
    return buf;
}

std::string time_text(const UtcTime& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d.000", t.hour, t.minute, t.second);
    return buf;
}

// Satellite i of the sky: a PRN (5 is prime to 32, so the first 32 are distinct) and
// a fixed elevation, azimuth and signal-to-noise ratio.
int prn(int i) { return 1 + (i * 5) % 32; }
int elevation(int i) { return 10 + (i * 23) % 75; }
int azimuth(int i) { return (i * 97) % 360; }
int snr(int i) { return 25 + (i * 7) % 20; }

} // namespace

const char* gps_sentence_name(GpsSentence s) {
    static const char* const kNames[kGpsSentenceCount] = {"GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "ZDA", "GST"};
    return kNames[static_cast<size_t>(s)];
}

bool gps_baud_supported(uint32_t baud) {
    return std::find(kGpsBaudRates.begin(), kGpsBaudRates.end(), baud) != kGpsBaudRates.end();
}

GpsReceiver::GpsReceiver(Scheduler& clock, UartLink& line, std::string model, const GpsReceiverOptions& options,
                         const GpsOutputConfig& factory, std::vector<GpsSentence> order)
    : clock_(clock), line_(line), model_(std::move(model)), options_(options), factory_(factory),
      order_(std::move(order)), built_at_(clock.now()), faults_(options.fault_seed) {
    const GpsReceiverOptions& o = options_;
    if (!gps_baud_supported(o.baud)) {
        bad_option("baud rate " + std::to_string(o.baud) + " is not one of 4800, 9600, 14400, 19200, 38400, 57600, 115200");
    }
    if (o.satellites < 0 || o.satellites > 24) bad_option("satellites " + std::to_string(o.satellites) + " outside 0..24");
    const std::pair<const char*, double> dops[] = {{"PDOP", o.pdop}, {"HDOP", o.hdop}, {"VDOP", o.vdop}};
    for (const auto& d : dops) {
        if (!(d.second > 0.0 && d.second <= 99.99)) bad_option(std::string(d.first) + " " + number(d.second, 2) + " outside (0, 99.99]");
    }
    if (!(o.latitude_deg >= -90.0 && o.latitude_deg <= 90.0)) bad_option("latitude " + number(o.latitude_deg, 6) + " outside -90..90 degrees");
    if (!(o.longitude_deg >= -180.0 && o.longitude_deg <= 180.0)) bad_option("longitude " + number(o.longitude_deg, 6) + " outside -180..180 degrees");
    if (!std::isfinite(o.altitude_m)) bad_option("altitude is not a number");
    if (o.position_decimals < 3 || o.position_decimals > 6) bad_option("position decimals " + std::to_string(o.position_decimals) + " outside 3..6");
    if (!(o.checksum_error_probability >= 0.0 && o.checksum_error_probability <= 1.0)) bad_option("checksum error probability outside 0..1");
    if (!(o.drop_probability >= 0.0 && o.drop_probability <= 1.0)) bad_option("drop probability outside 0..1");
    if (o.output_latency >= kSecond) bad_option("output latency must be below one second");
    if (o.start_unix < 0) bad_option("start time before 1970");
    factory_.baud = o.baud;
    config_ = factory_;
    uart_baud_ = o.baud;
}

void GpsReceiver::set_power(bool on) {
    if (on == powered_) return;
    ++generation_;
    booted_ = false;
    rx_active_ = false;
    rx_line_.clear();
    fix_time_.reset();
    powered_ = on;
    if (!on) return;
    ++stats_.power_ups;
    config_ = power_up_configuration();
    uart_baud_ = config_.baud;
    line_.set_baud(uart_baud_);
    const bool ephemeris = last_fix_ && clock_.now() - *last_fix_ <= options_.ephemeris_validity;
    boot(ephemeris ? options_.ttff_hot : options_.ttff);
}

void GpsReceiver::restart(bool keep_ephemeris) {
    ++generation_;
    booted_ = false;
    rx_active_ = false;
    rx_line_.clear();
    fix_time_.reset();
    uart_baud_ = config_.baud;
    line_.set_baud(uart_baud_);
    const bool ephemeris = keep_ephemeris && last_fix_ && clock_.now() - *last_fix_ <= options_.ephemeris_validity;
    if (!keep_ephemeris) last_fix_.reset();
    boot(ephemeris ? options_.ttff_hot : options_.ttff);
}

// Schedules the end of the boot (announcement, then the bursts). The fix becomes available
// ttff after this moment.
void GpsReceiver::boot(Nanos ttff) {
    const Nanos now = clock_.now();
    fix_ready_ = now + ttff;
    epochs_in_boot_ = 0;
    const uint64_t gen = generation_;
    clock_.at(now + options_.boot_time, [this, gen] {
        if (gen != generation_) return;
        booted_ = true;
        announce();
        // First whole UTC second at or after the end of the boot.
        const Nanos since = clock_.now() - built_at_;
        schedule_epoch((since + kSecond - 1) / kSecond);
    });
}

void GpsReceiver::schedule_epoch(uint64_t second) {
    const uint64_t gen = generation_;
    clock_.at(built_at_ + second * kSecond + options_.output_latency, [this, gen, second] { epoch(gen, second); });
}

int64_t GpsReceiver::utc_at(Nanos t) const {
    if (t >= built_at_) return options_.start_unix + static_cast<int64_t>((t - built_at_) / kSecond);
    return options_.start_unix - static_cast<int64_t>((built_at_ - t + kSecond - 1) / kSecond);
}

// One fix: the burst of the UTC second `second` (counted from construction).
void GpsReceiver::epoch(uint64_t generation, uint64_t second) {
    if (generation != generation_) return;
    const Nanos boundary = built_at_ + second * kSecond;
    const bool fixed = !options_.no_fix && boundary >= fix_ready_;
    if (fixed) {
        if (!fix_time_) fix_time_ = clock_.now();
        if (!first_fix_time_) first_fix_time_ = clock_.now();
        last_fix_ = clock_.now();
    }
    if (line_.send_pending() > kBacklogBytes) {
        ++stats_.bursts_skipped;
    } else {
        const int64_t utc = options_.start_unix + static_cast<int64_t>(second);
        std::string burst;
        for (GpsSentence s : order_) {
            const uint8_t rate = config_.rates[static_cast<size_t>(s)];
            if (rate == 0 || epochs_in_boot_ % rate != 0) continue;
            if (s == GpsSentence::GSV) {
                // One sentence per four satellites in view, sent one after the other.
                const std::string all = sentence_body(s, fixed, utc);
                size_t start = 0;
                while (start < all.size()) {
                    const size_t end = all.find('\n', start);
                    append_sentence(burst, all.substr(start, end - start));
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
            } else {
                append_sentence(burst, sentence_body(s, fixed, utc));
            }
        }
        if (!burst.empty()) {
            ++stats_.bursts;
            line_.send(reinterpret_cast<const uint8_t*>(burst.data()), burst.size());
        }
    }
    ++epochs_in_boot_;
    schedule_epoch(second + 1);
}

// The body of one sentence (GSV: its sentences separated by '\n'), "GN" talker for the
// combined solution and "GP" for the GPS satellites in view.
std::string GpsReceiver::sentence_body(GpsSentence s, bool fixed, int64_t utc) const {
    const GpsReceiverOptions& o = options_;
    const UtcTime t = utc_from_unix(utc);
    char ns = 'N', ew = 'E';
    const std::string lat = angle_text(o.latitude_deg, 2, o.position_decimals, 'N', 'S', ns);
    const std::string lon = angle_text(o.longitude_deg, 3, o.position_decimals, 'E', 'W', ew);
    const std::string time = time_text(t);
    const char mode = config_.sbas ? 'D' : 'A'; // NMEA 2.3 mode: autonomous or differential
    char buf[160];
    switch (s) {
    case GpsSentence::GGA:
        if (!fixed) return "GNGGA,,,,,,0,00,,,M,,M,,";
        std::snprintf(buf, sizeof buf, "GNGGA,%s,%s,%c,%s,%c,%d,%02d,%s,%s,M,%s,M,,", time.c_str(), lat.c_str(), ns,
                      lon.c_str(), ew, config_.sbas ? 2 : 1, o.satellites, number(o.hdop, 2).c_str(),
                      number(o.altitude_m, 1).c_str(), number(kGeoidSeparation_m, 1).c_str());
        return buf;
    case GpsSentence::GLL:
        if (!fixed) return "GNGLL,,,,,,V,N";
        std::snprintf(buf, sizeof buf, "GNGLL,%s,%c,%s,%c,%s,A,%c", lat.c_str(), ns, lon.c_str(), ew, time.c_str(), mode);
        return buf;
    case GpsSentence::GSA: {
        if (!fixed) return "GNGSA,A,1,,,,,,,,,,,,,,,";
        std::string body = "GNGSA,A,3";
        for (int i = 0; i < 12; ++i) {
            body += ',';
            if (i < o.satellites) {
                std::snprintf(buf, sizeof buf, "%02d", prn(i));
                body += buf;
            }
        }
        return body + "," + number(o.pdop, 2) + "," + number(o.hdop, 2) + "," + number(o.vdop, 2);
    }
    case GpsSentence::GSV: {
        const int in_view = o.no_fix ? 0 : std::min(o.satellites + kExtraSatellitesInView, kMaxSatellitesInView);
        const int messages = std::max(1, (in_view + 3) / 4);
        std::string all;
        for (int m = 0; m < messages; ++m) {
            std::snprintf(buf, sizeof buf, "GPGSV,%d,%d,%02d", messages, m + 1, in_view);
            std::string body = buf;
            for (int i = 4 * m; i < std::min(in_view, 4 * m + 4); ++i) {
                // Before the fix the satellites are being searched for: no signal yet.
                if (fixed) std::snprintf(buf, sizeof buf, ",%02d,%02d,%03d,%02d", prn(i), elevation(i), azimuth(i), snr(i));
                else std::snprintf(buf, sizeof buf, ",%02d,,,", prn(i));
                body += buf;
            }
            if (m > 0) all += '\n';
            all += body;
        }
        return all;
    }
    case GpsSentence::RMC:
        if (!fixed) return "GNRMC,,V,,,,,,,,,,N";
        std::snprintf(buf, sizeof buf, "GNRMC,%s,A,%s,%c,%s,%c,0.00,0.00,%02d%02d%02d,,,%c", time.c_str(), lat.c_str(),
                      ns, lon.c_str(), ew, t.day, t.month, t.year % 100, mode);
        return buf;
    case GpsSentence::VTG:
        if (!fixed) return "GNVTG,,T,,M,,N,,K,N";
        std::snprintf(buf, sizeof buf, "GNVTG,0.00,T,,M,0.00,N,0.00,K,%c", mode);
        return buf;
    case GpsSentence::ZDA:
        if (!fixed) return "GNZDA,,,,,,";
        std::snprintf(buf, sizeof buf, "GNZDA,%s,%02d,%02d,%04d,00,00", time.c_str(), t.day, t.month, t.year);
        return buf;
    case GpsSentence::GST: {
        if (!fixed) return "GNGST,,,,,,,,";
        const double horizontal = o.hdop * kRangeError_m, vertical = o.vdop * kRangeError_m;
        std::snprintf(buf, sizeof buf, "GNGST,%s,%s,%s,%s,0.0,%s,%s,%s", time.c_str(), number(o.pdop * kRangeError_m, 1).c_str(),
                      number(horizontal, 1).c_str(), number(horizontal, 1).c_str(), number(horizontal / std::sqrt(2.0), 1).c_str(),
                      number(horizontal / std::sqrt(2.0), 1).c_str(), number(vertical, 1).c_str());
        return buf;
    }
    }
    return {};
}

double GpsReceiver::fault_uniform() { return static_cast<double>(faults_() >> 11) * 0x1.0p-53; }

// Appends "$body*hh" CR LF, or nothing (dropped), or the sentence with a wrong checksum.
void GpsReceiver::append_sentence(std::string& out, const std::string& body) {
    // Two draws for every sentence, so that one probability does not shift the other's
    // sequence.
    const double drop = fault_uniform();
    const double corrupt = fault_uniform();
    if (drop < options_.drop_probability) {
        ++stats_.sentences_dropped;
        return;
    }
    ++stats_.sentences_sent;
    if (corrupt < options_.checksum_error_probability) {
        ++stats_.sentences_corrupted;
        const uint8_t wrong = static_cast<uint8_t>(nmea_checksum(body) ^ (1 + faults_() % 255));
        char tail[6];
        std::snprintf(tail, sizeof tail, "*%02X\r\n", wrong);
        out += "$" + body + tail;
        return;
    }
    out += nmea_sentence(body);
}

void GpsReceiver::send_sentence(const std::string& body) {
    std::string text;
    append_sentence(text, body);
    if (!text.empty()) line_.send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void GpsReceiver::send_line(const std::string& text) {
    const double drop = fault_uniform();
    fault_uniform(); // keeps two draws per line, as for sentences
    if (drop < options_.drop_probability) {
        ++stats_.sentences_dropped;
        return;
    }
    ++stats_.sentences_sent;
    const std::string line = text + "\r\n";
    line_.send(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

void GpsReceiver::reply(std::function<void()> fn) {
    const uint64_t gen = generation_;
    clock_.at(clock_.now() + options_.reply_delay, [this, gen, fn = std::move(fn)] {
        if (gen == generation_) fn();
    });
}

void GpsReceiver::change_baud_after_output(uint32_t baud) {
    // Each queued byte takes ten bit times at the current rate; one more byte time of margin
    // lets the last stop bit pass.
    const uint64_t bytes = line_.send_pending() + 1;
    const Nanos drain = (bytes * 10 * kSecond + uart_baud_ - 1) / uart_baud_;
    config_.baud = baud;
    const uint64_t gen = generation_;
    clock_.at(clock_.now() + drain, [this, gen, baud] {
        if (gen != generation_ || config_.baud != baud) return; // superseded meanwhile
        uart_baud_ = baud;
        line_.set_baud(baud);
    });
}

void GpsReceiver::on_byte(uint8_t b) {
    if (!powered_ || !booted_) return;
    ++stats_.bytes_heard;
    if (b == '$') { // a "$" always starts a new command, whatever came before
        rx_line_ = "$";
        rx_active_ = true;
        return;
    }
    if (!rx_active_) return;
    const bool after_cr = rx_line_.back() == '\r';
    if (b == '\n' && after_cr) {
        rx_line_.pop_back();
        finish_line();
        rx_active_ = false;
        return;
    }
    // Anything but printable text, or anything after the CR, makes the line garbage.
    if (after_cr || (b != '\r' && (b < 0x20 || b > 0x7E)) || rx_line_.size() >= kMaxCommandChars) {
        rx_active_ = false;
        return;
    }
    rx_line_ += static_cast<char>(b);
}

void GpsReceiver::finish_line() {
    std::string body;
    bool has_checksum = false;
    const bool good = nmea_parse_line(rx_line_, body, has_checksum);
    if (!good || (!has_checksum && checksum_required())) {
        ++stats_.commands_bad_checksum;
        return;
    }
    ++stats_.commands_received;
    if (!on_command(body)) ++stats_.commands_not_understood;
}

std::vector<std::string> GpsReceiver::configured_sentences() const {
    std::vector<std::string> names;
    for (GpsSentence s : order_) {
        if (config_.rates[static_cast<size_t>(s)] != 0) names.emplace_back(gps_sentence_name(s));
    }
    return names;
}

const std::vector<std::string>& gps_receiver_models() {
    static const std::vector<std::string> kModels = {"L76LB", "SIM66M", "SIM66MD", "UC6226NIS"};
    return kModels;
}

std::unique_ptr<GpsReceiver> make_gps_receiver(const std::string& model, Scheduler& clock, UartLink& line,
                                               const GpsReceiverOptions& options) {
    if (model == "L76LB") return std::make_unique<PmtkReceiver>(clock, line, options);
    if (model == "SIM66M" || model == "SIM66MD" || model == "UC6226NIS") {
        return std::make_unique<CfgmsgReceiver>(clock, line, model, options);
    }
    std::ostringstream out;
    out << "GPS receiver: unknown model '" << model << "', expected one of";
    for (const std::string& m : gps_receiver_models()) out << ' ' << m;
    throw std::invalid_argument(out.str());
}

} // namespace sim
