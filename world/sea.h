// The sea under the buoy: what a surface-following buoy at one spot feels, sample by sample.
// Physical truth only; the inertial sensor model (sbg_sensor.h) turns it into log frames.
//
// Conventions used throughout:
// - elevation in metres, positive UP (the sensor reports heave = -elevation);
// - velocities in m/s, north and east components in the earth frame;
// - wave directions are compass bearings the waves come FROM, degrees clockwise from north;
//   the water at a crest moves the other way, toward (FROM + 180);
// - the drift current is given by the bearing it flows TOWARD, as currents are charted;
// - heading is the buoy's yaw, degrees clockwise from north, in [0, 360).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// One sensor epoch's worth of motion.
struct MotionSample {
    double elevation_m = 0.0; // surface elevation, positive up
    double v_north_ms = 0.0;  // horizontal velocity, north component
    double v_east_ms = 0.0;   // horizontal velocity, east component
    double heading_deg = 0.0; // buoy yaw, clockwise from north
    double v_up_ms = 0.0;     // vertical velocity, positive up (0 where the source has none)
};

// Something the inertial sensor can measure: a model sampled at any time, or a recording
// that also fixes the sensor's epochs.
class MotionSource {
public:
    virtual ~MotionSource() = default;
    // Motion at time t_s (seconds). Calls at evenly spaced, increasing times are the fast path.
    virtual MotionSample sample(double t_s) = 0;
    // A recording holds samples only at its own times: it returns how many (0 for a model that
    // can be sampled at any time) and the time of each, in seconds of the sensor's clock.
    virtual size_t recorded_epochs() const { return 0; }
    virtual double epoch_time(size_t /*i*/) const { return 0.0; }
};

enum class SeaKind {
    irregular, // directional JONSWAP sea with random complex component amplitudes
    swell,     // one regular sinusoid
    calm,      // no waves at all
    chop,      // one regular short, small wave
};

struct SeaConfig {
    SeaKind kind = SeaKind::irregular;
    // Irregular: significant height Hs (m). Swell and chop: crest-to-trough height H (m).
    double height_m = 2.0;
    // Irregular: peak period Tp (s). Swell and chop: wave period (s).
    double period_s = 9.0;
    double from_deg = 0.0;        // mean direction the waves come from, clockwise from north
    double spread_s = 15.0;       // exponent s of the cos-2s spreading (irregular only)
    double gamma = 3.3;           // JONSWAP peak enhancement (3.3: the JONSWAP mean value)
    int components = 150;         // number of wave components (irregular only)
    uint64_t seed = 1;            // every random choice of this sea comes from this seed
    double current_ms = 0.0;      // steady drift current speed
    double current_toward_deg = 0.0; // bearing the current flows toward
    double heading_deg = 0.0;     // mean heading of the buoy
    double heading_wander_deg = 20.0; // largest excursion of the slowly wandering heading
};

// Ready-made seas. Directions are FROM bearings in degrees.
SeaConfig sea_jonswap(double hs_m, double tp_s, double from_deg, uint64_t seed);
SeaConfig sea_swell(double height_m, double period_s, double from_deg);
SeaConfig sea_calm();
SeaConfig sea_chop(double height_m = 0.2, double period_s = 1.5, double from_deg = 0.0);

// Converts a directional spread (circular standard deviation, degrees) into the exponent s
// of the cos-2s distribution: sigma^2 = 2 / (s + 1) in radians.
double spread_s_from_deg(double sigma_deg);

// What the sea really is, for comparison with what the firmware measures. Values that do
// not exist for the sea (period and direction of a calm sea) are NaN.
struct SeaTruth {
    double hs_m = 0.0;         // 4 sqrt(m0) of the components actually drawn
    double tp_s = 0.0;         // peak period of the spectrum the sea was drawn from
    // Peak period of the components drawn, as a record of 256 s resolves them (see
    // drawn_peak_period()): a draw of ~150 components of random energy puts its own peak a
    // bin or two away from tp_s, and no record of it, however long, shows tp_s.
    double tp_drawn_s = 0.0;
    double tm02_s = 0.0;       // sqrt(m0 / m2) of the components drawn (mean zero-crossing period)
    double mean_from_deg = 0.0; // energy-weighted mean FROM direction of the components drawn
    double spread_deg = 0.0;   // circular spread of the components drawn, sqrt(2 (1 - r))
    // For swell and chop: the crest-to-trough height H that every wave has (hs_m is sqrt(2) H
    // for a sinusoid); 0 for the irregular and calm seas.
    double regular_height_m = 0.0;
};

// One wave component as drawn: elevation Re(amplitude * exp(i 2 pi f t)).
struct SeaComponent {
    double freq_hz;
    double amp_re_m;
    double amp_im_m;
    double from_deg;
};

class Sea : public MotionSource {
public:
    // Throws std::invalid_argument naming the setting and the range expected.
    explicit Sea(const SeaConfig& config);

    MotionSample sample(double t_s) override;

    const SeaConfig& config() const { return config_; }
    const SeaTruth& truth() const { return truth_; }
    std::vector<SeaComponent> components() const;

private:
    void evaluate_direct(double t_s);
    void set_step(double dt_s);
    double heading_at(double t_s) const;

    SeaConfig config_;
    SeaTruth truth_;

    // Per component, structure of arrays for a tight evaluation loop.
    std::vector<double> omega_;  // rad/s
    std::vector<double> amp_re_; // complex amplitude at t = 0, m
    std::vector<double> amp_im_;
    std::vector<double> w_north_; // omega * cos(toward bearing): velocity per metre of elevation
    std::vector<double> w_east_;  // omega * sin(toward bearing)
    std::vector<double> z_re_;   // amplitude rotated to the last time sampled
    std::vector<double> z_im_;
    std::vector<double> rot_re_; // exp(i omega dt) for the current step dt
    std::vector<double> rot_im_;

    // Incremental evaluation: times anchor_t_ + n * step_s_ are reached by rotating z.
    bool have_anchor_ = false;
    double anchor_t_ = 0.0;
    double last_t_ = 0.0;
    double step_s_ = 0.0;
    uint32_t steps_ = 0;

    double current_north_ = 0.0;
    double current_east_ = 0.0;
    double wander_phase_[3] = {0.0, 0.0, 0.0};
};

} // namespace sim
