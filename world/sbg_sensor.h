// The inertial motion sensor on the board's sensor port: at every output epoch it measures
// a MotionSource and sends one burst of three binary log frames, back to back: Euler angles
// (id 6), navigation (id 8) and ship motion (id 9).
//
// Frame on the wire (multi-byte fields little-endian):
//   0xFF 0x5A | id | class 0 | payload length uint16 | payload | CRC-16 (low byte first) | 0x33
// The CRC covers id, class, length and payload.
//
// Payloads (byte offsets within the payload):
//   Euler, 32 bytes: time stamp u32 @0; roll, pitch, yaw f32 rad @4, 8, 12 (yaw in (-pi, pi]);
//     their 1-sigma accuracies f32 @16, 20, 24; solution status u32 @28.
//   Navigation, 72 bytes: time stamp u32 @0; velocity north, east, down f32 m/s @4, 8, 12;
//     their 1-sigma f32 @16, 20, 24; latitude, longitude, altitude f64 @28, 36, 44;
//     undulation f32 @52; position 1-sigma f32 @56, 60, 64; solution status u32 @68.
//   Ship motion, 46 bytes: time stamp u32 @0; heave period f32 s @4; surge, sway f32 m @8, 12;
//     heave f32 m POSITIVE DOWN @16; accelerations x, y, z f32 @20, 24, 28;
//     velocities x, y, z f32 @32, 36, 40; status u16 @44.
// The time stamp is the sensor's own microsecond counter since power-up, wrapping at 2^32 us
// (71.6 minutes). The sensor's clock is exact: it follows virtual time, not the board's
// oscillator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "world/link.h"
#include "world/sea.h"

namespace sim {

// CRC-16 of the sensor's frames: reflected polynomial 0x1021 (0x8408), initial value 0,
// no final XOR (the parameter set known as CRC-16/KERMIT; check value 0x2189 over the
// ASCII text "123456789").
uint16_t sbg_crc16(const uint8_t* data, size_t n);

// A complete frame around a payload.
std::vector<uint8_t> sbg_frame(uint8_t id, const std::vector<uint8_t>& payload);

constexpr uint8_t kSbgIdEuler = 6;
constexpr uint8_t kSbgIdNav = 8;
constexpr uint8_t kSbgIdShipMotion = 9;
constexpr size_t kSbgEulerPayload = 32;
constexpr size_t kSbgNavPayload = 72;
constexpr size_t kSbgShipMotionPayload = 46;
constexpr size_t kSbgFrameOverhead = 9; // sync 2, id, class, length 2, CRC 2, end byte
constexpr size_t kSbgBurstBytes = 3 * kSbgFrameOverhead + kSbgEulerPayload + kSbgNavPayload + kSbgShipMotionPayload;

// Solution status word of the Euler and navigation logs.
constexpr uint32_t kSbgModeNavPosition = 4;            // bits 0-3: full navigation solution
constexpr uint32_t kSbgStatusAttitudeValid = 1u << 4;
constexpr uint32_t kSbgStatusHeadingValid = 1u << 5;
constexpr uint32_t kSbgStatusVelocityValid = 1u << 6;
constexpr uint32_t kSbgStatusPositionValid = 1u << 7;
constexpr uint32_t kSbgStatusAlignValid = 1u << 27;
// Ship-motion status: bit 0, heave valid.
constexpr uint16_t kSbgShipHeaveValid = 1u << 0;

struct SbgSensorConfig {
    double rate_hz = 10.0;       // output epochs per second (periodic mode)
    uint32_t baud = 115200;      // the sensor port's rate, 8N1
    // Counter value at power-up, us: lets a scenario put the 2^32 us wrap within reach.
    uint64_t clock_at_power_up_us = 0;
    bool heading_valid = true;   // status bit 5 of both logs
    bool aligned = true;         // status bit 27 of both logs
    double latitude_deg = 43.0;  // fixed position reported in the navigation log
    double longitude_deg = -9.5;
    // Faults, drawn per frame from their own seed, independently of the sea's.
    double drop_probability = 0.0;        // the frame is not sent at all
    double crc_error_probability = 0.0;   // one CRC byte of the frame is sent altered
    uint64_t fault_seed = 1;
};

class SbgSensor {
public:
    // Measures `source`: periodically at config.rate_hz, or at the recorded epochs when the
    // source is a recording (recorded_epochs() > 0). Throws std::invalid_argument for a rate
    // that is not positive, above 200 Hz, or too fast for a burst to leave at the baud rate,
    // and for probabilities outside [0, 1].
    SbgSensor(Scheduler& clock, UartLink& line, MotionSource& source, const SbgSensorConfig& config = {});

    // Powers the sensor up now: sets the line's rate and schedules the epochs. Periodic
    // epochs fall at power-up + k / rate_hz, k = 1, 2, ... Recorded epoch i falls at
    // power-up + (t_i - t_0) and carries the time stamp round(t_i * 1e6) mod 2^32.
    // Starting again is a power cycle.
    void start();
    // Powers the sensor down: no epoch scheduled so far will send anything.
    void stop();
    // Changes the fault probabilities from now on (a scenario's timeline); the draws go on
    // as before, so the pattern of one fault does not move when the other changes.
    void set_faults(double drop_probability, double crc_error_probability) {
        config_.drop_probability = drop_probability;
        config_.crc_error_probability = crc_error_probability;
    }
    double drop_probability() const { return config_.drop_probability; }
    double crc_error_probability() const { return config_.crc_error_probability; }

    // The sensor's microsecond counter at virtual time t (periodic mode).
    uint32_t time_stamp_at(Nanos t) const;

    struct Stats {
        uint64_t epochs = 0;           // bursts attempted
        // The last epochs' time stamps and start times: epoch number epochs - 1 - back is
        // recent[(epochs - 1 - back) % kRecent], for back < min(epochs, kRecent).
        static constexpr size_t kRecent = 64;
        struct Epoch {
            uint32_t stamp = 0;
            Nanos at = 0;
        };
        std::array<Epoch, kRecent> recent{};
        uint64_t frames_sent = 0;      // frames put on the line, corrupted ones included
        uint64_t frames_dropped = 0;
        uint64_t frames_corrupted = 0;
    };
    const Stats& stats() const { return stats_; }
    const SbgSensorConfig& config() const { return config_; }
    bool running() const { return running_; }

private:
    void schedule_periodic(uint64_t k);
    void schedule_recorded(size_t i);
    void send_epoch(uint32_t stamp, const MotionSample& m);
    void put_frame(std::vector<uint8_t>& burst, uint8_t id, const std::vector<uint8_t>& payload);
    double fault_uniform();

    Scheduler& clock_;
    UartLink& line_;
    MotionSource& source_;
    SbgSensorConfig config_;
    uint64_t rate_mhz_ = 0;     // output rate in millihertz: epochs fall on exact nanoseconds
    Nanos power_up_ = 0;
    uint64_t generation_ = 0;   // bumped at every start and stop; stale epochs check it
    bool running_ = false;
    std::mt19937_64 faults_;
    Stats stats_;
    // Buffers reused at every epoch; payload bytes not written stay 0 (fields not modelled).
    std::vector<uint8_t> euler_ = std::vector<uint8_t>(kSbgEulerPayload, 0);
    std::vector<uint8_t> nav_ = std::vector<uint8_t>(kSbgNavPayload, 0);
    std::vector<uint8_t> ship_ = std::vector<uint8_t>(kSbgShipMotionPayload, 0);
    std::vector<uint8_t> burst_;
};

} // namespace sim
