#include "world/sbg_sensor.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

constexpr uint8_t kSync1 = 0xFF;
constexpr uint8_t kSync2 = 0x5A;
constexpr uint8_t kClassLog = 0;
constexpr uint8_t kEndByte = 0x33;
constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxRate_hz = 200.0; // the sensor's fastest output rate

// Accuracies the sensor reports for a settled solution (1 sigma): attitude in rad, velocity
// in m/s, position in m. Nothing downstream reads them; they only make the logs plausible.
constexpr float kRollPitchSigma_rad = 0.0005f;
constexpr float kYawSigma_rad = 0.005f;
constexpr float kVelocitySigma_ms = 0.03f;
constexpr float kPositionSigma_m = 2.5f;
constexpr float kUndulation_m = 52.0f;

// Little-endian writers: the layout is fixed byte by byte, whatever the host's order.
void put_u16(std::vector<uint8_t>& p, size_t at, uint16_t v) {
    p[at] = static_cast<uint8_t>(v);
    p[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(std::vector<uint8_t>& p, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_f32(std::vector<uint8_t>& p, size_t at, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u32(p, at, bits);
}
void put_f64(std::vector<uint8_t>& p, size_t at, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u64(p, at, bits);
}

// A measurement as a float; a missing one (NaN) goes out as the plain quiet NaN whatever
// sign it picked up on the way, as a faulty sensor sends it.
float as_float(double v) {
    return std::isnan(v) ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(v);
}

// Heading in degrees clockwise from north to yaw in radians in (-pi, pi].
float yaw_rad(double heading_deg) {
    if (std::isnan(heading_deg)) return std::numeric_limits<float>::quiet_NaN();
    double h = std::fmod(heading_deg, 360.0); // (-360, 360)
    if (h > 180.0) h -= 360.0;
    if (h <= -180.0) h += 360.0;
    return static_cast<float>(h * kPi / 180.0);
}

[[noreturn]] void bad(const std::string& what, double got) {
    std::ostringstream out;
    out << "inertial sensor: " << what << ", got " << got;
    throw std::invalid_argument(out.str());
}

// The CRC one byte at a time: entry b is the register after shifting b through the bitwise
// algorithm (XOR into the low byte, eight shifts right with 0x8408 fed back on a 1 bit).
struct CrcTable {
    uint16_t t[256] = {};
    constexpr CrcTable() {
        for (unsigned b = 0; b < 256; ++b) {
            uint16_t crc = static_cast<uint16_t>(b);
            for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
            t[b] = crc;
        }
    }
};
constexpr CrcTable kCrcTable; // built by the compiler

// Appends a complete frame around n payload bytes.
void append_frame(std::vector<uint8_t>& out, uint8_t id, const uint8_t* payload, size_t n) {
    const size_t start = out.size();
    out.resize(start + kSbgFrameOverhead + n);
    uint8_t* f = out.data() + start;
    f[0] = kSync1;
    f[1] = kSync2;
    f[2] = id;
    f[3] = kClassLog;
    f[4] = static_cast<uint8_t>(n);
    f[5] = static_cast<uint8_t>(n >> 8);
    std::memcpy(f + 6, payload, n);
    const uint16_t crc = sbg_crc16(f + 2, 4 + n);
    f[6 + n] = static_cast<uint8_t>(crc);
    f[7 + n] = static_cast<uint8_t>(crc >> 8);
    f[8 + n] = kEndByte;
}

} // namespace

uint16_t sbg_crc16(const uint8_t* data, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable.t[(crc ^ data[i]) & 0xFF]);
    return crc;
}

std::vector<uint8_t> sbg_frame(uint8_t id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    append_frame(f, id, payload.data(), payload.size());
    return f;
}

SbgSensor::SbgSensor(Scheduler& clock, UartLink& line, MotionSource& source, const SbgSensorConfig& config)
    : clock_(clock), line_(line), source_(source), config_(config), faults_(config.fault_seed) {
    const SbgSensorConfig& c = config_;
    if (!(c.drop_probability >= 0.0 && c.drop_probability <= 1.0))
        bad("drop probability must be between 0 and 1", c.drop_probability);
    if (!(c.crc_error_probability >= 0.0 && c.crc_error_probability <= 1.0))
        bad("CRC error probability must be between 0 and 1", c.crc_error_probability);
    if (c.baud == 0) bad("baud rate must be above 0", c.baud);
    if (source_.recorded_epochs() == 0) {
        if (!(c.rate_hz >= 0.001 && c.rate_hz <= kMaxRate_hz))
            bad("output rate must be between 0.001 and 200 Hz", c.rate_hz);
        rate_mhz_ = static_cast<uint64_t>(std::llround(c.rate_hz * 1000.0));
        // Ten bit times per byte (8N1); a burst that outlasts the epoch would pile up forever.
        const double burst_s = static_cast<double>(kSbgBurstBytes) * 10.0 / c.baud;
        if (burst_s * c.rate_hz > 1.0)
            bad("output rate must leave time for one burst of " + std::to_string(kSbgBurstBytes) + " bytes at " +
                    std::to_string(c.baud) + " baud: at most " + std::to_string(1.0 / burst_s) + " Hz",
                c.rate_hz);
    }
}

void SbgSensor::start() {
    ++generation_;
    running_ = true;
    power_up_ = clock_.now();
    line_.set_baud(config_.baud);
    if (source_.recorded_epochs() > 0)
        schedule_recorded(0);
    else
        schedule_periodic(1);
}

void SbgSensor::stop() {
    ++generation_;
    running_ = false;
}

uint32_t SbgSensor::time_stamp_at(Nanos t) const {
    const Nanos since = t >= power_up_ ? t - power_up_ : 0;
    return static_cast<uint32_t>(config_.clock_at_power_up_us + (since + kMicro / 2) / kMicro);
}

// Schedules periodic epoch k at power-up + k / rate, computed from k each time so the
// epochs never drift, whatever the rate.
void SbgSensor::schedule_periodic(uint64_t k) {
    const unsigned __int128 num = static_cast<unsigned __int128>(k) * 1000000000000ull; // ns * mHz
    const Nanos t = power_up_ + static_cast<Nanos>((num + rate_mhz_ / 2) / rate_mhz_);
    const uint64_t gen = generation_;
    clock_.at(t, [this, k, t, gen] {
        if (gen != generation_) return;
        const MotionSample m = source_.sample(static_cast<double>(t) / 1e9);
        send_epoch(time_stamp_at(t), m);
        schedule_periodic(k + 1);
    });
}

// Schedules recorded epoch i at power-up plus its offset from the first recorded epoch.
void SbgSensor::schedule_recorded(size_t i) {
    if (i >= source_.recorded_epochs()) return;
    const double t0 = source_.epoch_time(0);
    const double ti = source_.epoch_time(i);
    const Nanos t = power_up_ + static_cast<Nanos>(std::llround((ti - t0) * 1e9));
    const uint64_t gen = generation_;
    clock_.at(t, [this, i, ti, gen] {
        if (gen != generation_) return;
        const MotionSample m = source_.sample(ti);
        send_epoch(static_cast<uint32_t>(static_cast<uint64_t>(std::llround(ti * 1e6))), m);
        schedule_recorded(i + 1);
    });
}

double SbgSensor::fault_uniform() {
    return static_cast<double>(faults_() >> 11) * 0x1.0p-53;
}

// Appends one frame to the burst, unless the fault draw drops it or alters its CRC.
void SbgSensor::put_frame(std::vector<uint8_t>& burst, uint8_t id, const std::vector<uint8_t>& payload) {
    // Three draws per frame whatever the probabilities, so that switching one fault on or off
    // does not move the other's pattern.
    const double u_drop = fault_uniform();
    const double u_crc = fault_uniform();
    const uint64_t pick = faults_();
    if (u_drop < config_.drop_probability) {
        ++stats_.frames_dropped;
        return;
    }
    append_frame(burst, id, payload.data(), payload.size());
    if (u_crc < config_.crc_error_probability) {
        // Low or high CRC byte, XORed with a non-zero mask: the frame can no longer pass.
        const size_t at = burst.size() - 3 + (pick & 1);
        burst[at] ^= static_cast<uint8_t>(1 + ((pick >> 1) % 255));
        ++stats_.frames_corrupted;
    }
    ++stats_.frames_sent;
}

// Builds the three logs of one epoch and puts them on the line back to back.
void SbgSensor::send_epoch(uint32_t stamp, const MotionSample& m) {
    stats_.recent[stats_.epochs % Stats::kRecent] = {stamp, clock_.now()};
    ++stats_.epochs;
    uint32_t status = kSbgModeNavPosition | kSbgStatusAttitudeValid | kSbgStatusVelocityValid | kSbgStatusPositionValid;
    if (config_.heading_valid) status |= kSbgStatusHeadingValid;
    if (config_.aligned) status |= kSbgStatusAlignValid;
    const float v_down = as_float(-m.v_up_ms);

    burst_.clear();

    put_u32(euler_, 0, stamp);
    put_f32(euler_, 4, 0.0f); // roll and pitch: the buoy's tilt is not modelled
    put_f32(euler_, 8, 0.0f);
    put_f32(euler_, 12, yaw_rad(m.heading_deg));
    put_f32(euler_, 16, kRollPitchSigma_rad);
    put_f32(euler_, 20, kRollPitchSigma_rad);
    put_f32(euler_, 24, kYawSigma_rad);
    put_u32(euler_, 28, status);
    put_frame(burst_, kSbgIdEuler, euler_);

    put_u32(nav_, 0, stamp);
    put_f32(nav_, 4, as_float(m.v_north_ms));
    put_f32(nav_, 8, as_float(m.v_east_ms));
    put_f32(nav_, 12, v_down);
    put_f32(nav_, 16, kVelocitySigma_ms);
    put_f32(nav_, 20, kVelocitySigma_ms);
    put_f32(nav_, 24, kVelocitySigma_ms);
    put_f64(nav_, 28, config_.latitude_deg);
    put_f64(nav_, 36, config_.longitude_deg);
    put_f64(nav_, 44, std::isnan(m.elevation_m) ? 0.0 : m.elevation_m); // altitude above mean sea level
    put_f32(nav_, 52, kUndulation_m);
    put_f32(nav_, 56, kPositionSigma_m);
    put_f32(nav_, 60, kPositionSigma_m);
    put_f32(nav_, 64, kPositionSigma_m);
    put_u32(nav_, 68, status);
    put_frame(burst_, kSbgIdNav, nav_);

    put_u32(ship_, 0, stamp);
    // Heave period @4, surge and sway @8, @12, accelerations @20..28 stay 0: not modelled.
    put_f32(ship_, 16, as_float(-m.elevation_m)); // heave is positive DOWN
    put_f32(ship_, 40, v_down);                   // heave velocity, z axis down
    put_u16(ship_, 44, kSbgShipHeaveValid);
    put_frame(burst_, kSbgIdShipMotion, ship_);

    if (!burst_.empty()) line_.send(burst_.data(), burst_.size());
}

} // namespace sim
