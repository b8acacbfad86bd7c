#include "world/sea.h"

#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kDeg = kPi / 180.0;

// The irregular sea's band, as multiples of the peak frequency. The JONSWAP spectrum holds
// no energy worth drawing below 0.5 fp; the f^-5 tail above 4 fp carries about 0.5 % of m0
// (the Pierson-Moskowitz share above x fp is 1 - exp(-1.25 / x^4)).
constexpr double kBandLow = 0.5;
constexpr double kBandHigh = 4.0;

// Incremental evaluation: a time within this distance of the next step on the grid counts
// as on the grid (the sensor's epochs are whole nanoseconds, so the grid is exact to far
// better than this), and the rotated amplitudes are recomputed from scratch this often so
// that rounding in the rotation never accumulates over days.
constexpr double kGridTolerance_s = 1e-9;
constexpr uint32_t kReanchorSteps = 8192;

// The heading wanders as the sum of three slow swings: a moored buoy veers over tens of
// minutes, with smaller and quicker yawing on top. Periods in s and shares of the amplitude.
constexpr double kWanderPeriod_s[3] = {1800.0, 420.0, 97.0};
constexpr double kWanderShare[3] = {0.6, 0.3, 0.1};

// Random numbers that are the same on every machine and with every standard library:
// mt19937_64 is fully defined by the C++ standard, and the conversions to uniform and normal values are ours
// (std::normal_distribution's algorithm is left to each library).
class Draw {
public:
    explicit Draw(uint64_t seed) : gen_(seed) {}
    // Uniform in [0, 1), 53 random bits.
    double uniform() { return static_cast<double>(gen_() >> 11) * 0x1.0p-53; }
    // Standard normal by Marsaglia's polar method; the second value of each pair is kept.
    double normal() {
        if (have_spare_) {
            have_spare_ = false;
            return spare_;
        }
        double u, v, r2;
        do {
            u = 2.0 * uniform() - 1.0;
            v = 2.0 * uniform() - 1.0;
            r2 = u * u + v * v;
        } while (r2 >= 1.0 || r2 == 0.0);
        const double f = std::sqrt(-2.0 * std::log(r2) / r2);
        spare_ = v * f;
        have_spare_ = true;
        return u * f;
    }

private:
    std::mt19937_64 gen_;
    bool have_spare_ = false;
    double spare_ = 0.0;
};

// Offset (rad) from the mean direction, drawn from the cos-2s distribution
// The peak period of a set of components as a spectrum of 256 s segments shows it: each
// component's energy e spread over the grid of 1/256 Hz by the power response of a Hann
// window, w(d) = (sin(pi d) / (pi d (1 - d^2)))^2 at d bins off (normalised over the grid),
// then the highest grid point refined by the vertex of the parabola through it and its
// neighbours. NAN without energy.
double drawn_peak_period(const std::vector<double>& freq_hz, const std::vector<double>& energy) {
    constexpr double kBin = 1.0 / 256.0;
    constexpr int kReach = 4; // bins each side: w(4) is 1e-4 of w(0)
    double top = 0.0;
    for (double f : freq_hz) top = std::fmax(top, f);
    std::vector<double> grid(static_cast<size_t>(top / kBin) + kReach + 2, 0.0);
    auto hann_power = [](double d) {
        if (std::fabs(d) < 1e-9) return 1.0;
        if (std::fabs(std::fabs(d) - 1.0) < 1e-9) return 0.25;
        const double w = std::sin(kPi * d) / (kPi * d * (1.0 - d * d));
        return w * w;
    };
    for (size_t i = 0; i < freq_hz.size(); ++i) {
        const double at = freq_hz[i] / kBin;
        const long centre = std::lround(at);
        double weights[2 * kReach + 1], sum = 0.0;
        for (int j = -kReach; j <= kReach; ++j) sum += weights[j + kReach] = hann_power(static_cast<double>(centre + j) - at);
        for (int j = -kReach; j <= kReach; ++j)
            if (centre + j > 0) grid[static_cast<size_t>(centre + j)] += energy[i] * weights[j + kReach] / sum;
    }
    size_t peak = 1;
    for (size_t k = 1; k + 1 < grid.size(); ++k)
        if (grid[k] > grid[peak]) peak = k;
    if (!(grid[peak] > 0.0)) return NAN;
    double kp = static_cast<double>(peak);
    const double den = grid[peak - 1] - 2.0 * grid[peak] + grid[peak + 1];
    if (den < 0.0) kp += 0.5 * (grid[peak - 1] - grid[peak + 1]) / den;
    return 1.0 / (kp * kBin);
}

// D(x) ~ cos^(2s)(x / 2) on (-pi, pi], by rejection from a uniform proposal.
double draw_spread_offset(Draw& draw, double s) {
    for (;;) {
        const double x = (2.0 * draw.uniform() - 1.0) * kPi;
        const double d = std::pow(0.5 * (1.0 + std::cos(x)), s);
        if (draw.uniform() < d) return x;
    }
}

// JONSWAP spectral shape (unscaled) at frequency f for peak frequency fp.
double jonswap_shape(double f, double fp, double gamma) {
    const double sigma = f <= fp ? 0.07 : 0.09; // Hasselmann et al. (1973) peak widths
    const double r = (f - fp) / (sigma * fp);
    const double x = fp / f;
    return std::pow(f, -5.0) * std::exp(-1.25 * x * x * x * x) * std::pow(gamma, std::exp(-0.5 * r * r));
}

double wrap_360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0.0) d += 360.0;
    if (d >= 360.0) d -= 360.0; // -tiny + 360 rounds to 360
    return d;
}

[[noreturn]] void bad(const std::string& what, double got) {
    std::ostringstream out;
    out << "sea: " << what << ", got " << got;
    throw std::invalid_argument(out.str());
}

void check_finite(const char* name, double v) {
    if (!std::isfinite(v)) bad(std::string(name) + " must be a finite number", v);
}

} // namespace

SeaConfig sea_jonswap(double hs_m, double tp_s, double from_deg, uint64_t seed) {
    SeaConfig c;
    c.kind = SeaKind::irregular;
    c.height_m = hs_m;
    c.period_s = tp_s;
    c.from_deg = from_deg;
    c.seed = seed;
    return c;
}

SeaConfig sea_swell(double height_m, double period_s, double from_deg) {
    SeaConfig c;
    c.kind = SeaKind::swell;
    c.height_m = height_m;
    c.period_s = period_s;
    c.from_deg = from_deg;
    return c;
}

SeaConfig sea_calm() {
    SeaConfig c;
    c.kind = SeaKind::calm;
    c.height_m = 0.0;
    return c;
}

SeaConfig sea_chop(double height_m, double period_s, double from_deg) {
    SeaConfig c;
    c.kind = SeaKind::chop;
    c.height_m = height_m;
    c.period_s = period_s;
    c.from_deg = from_deg;
    return c;
}

double spread_s_from_deg(double sigma_deg) {
    if (!(sigma_deg > 0.0) || sigma_deg > 90.0) bad("directional spread must be above 0 and at most 90 degrees", sigma_deg);
    const double sigma = sigma_deg * kDeg;
    // s = 2 / sigma^2 - 1 goes negative for spreads wider than 81 degrees: isotropic then.
    const double s = 2.0 / (sigma * sigma) - 1.0;
    return s > 0.0 ? s : 0.0;
}

Sea::Sea(const SeaConfig& config) : config_(config) {
    const SeaConfig& c = config_;
    check_finite("height_m", c.height_m);
    check_finite("period_s", c.period_s);
    check_finite("from_deg", c.from_deg);
    check_finite("spread_s", c.spread_s);
    check_finite("gamma", c.gamma);
    check_finite("current_ms", c.current_ms);
    check_finite("current_toward_deg", c.current_toward_deg);
    check_finite("heading_deg", c.heading_deg);
    check_finite("heading_wander_deg", c.heading_wander_deg);
    if (c.current_ms < 0.0) bad("current speed must be 0 or more m/s", c.current_ms);
    if (c.heading_wander_deg < 0.0 || c.heading_wander_deg > 180.0)
        bad("heading wander must be between 0 and 180 degrees", c.heading_wander_deg);

    Draw draw(c.seed);
    std::vector<double> from_rad; // per component

    switch (c.kind) {
    case SeaKind::irregular: {
        if (!(c.height_m > 0.0) || c.height_m > 30.0) bad("significant height must be above 0 and at most 30 m", c.height_m);
        if (!(c.period_s >= 1.0) || c.period_s > 30.0) bad("peak period must be between 1 and 30 s", c.period_s);
        if (c.gamma < 1.0 || c.gamma > 10.0) bad("JONSWAP gamma must be between 1 and 10", c.gamma);
        if (c.spread_s < 0.0 || c.spread_s > 10000.0) bad("spreading exponent s must be between 0 and 10000", c.spread_s);
        if (c.components < 1 || c.components > 4096) bad("number of components must be between 1 and 4096", c.components);

        const size_t n = static_cast<size_t>(c.components);
        const double fp = 1.0 / c.period_s;
        const double df = (kBandHigh - kBandLow) * fp / static_cast<double>(n);
        // One frequency at a random place in each band: equal spacing would repeat the whole
        // record every 1 / df seconds (a few minutes), which a day-long run must not see.
        std::vector<double> freq(n), shape(n);
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i) {
            freq[i] = (kBandLow * fp) + (static_cast<double>(i) + draw.uniform()) * df;
            shape[i] = jonswap_shape(freq[i], fp, c.gamma);
            sum += shape[i] * df;
        }
        // Scale so the expected m0 is (Hs / 4)^2; each component's real and imaginary parts
        // are normal with variance S(f) df, so its mean variance |A|^2 / 2 is S(f) df and
        // the realised Hs scatters around the requested one as a real record's does.
        const double scale = (c.height_m / 4.0) * (c.height_m / 4.0) / sum;
        omega_.resize(n);
        amp_re_.resize(n);
        amp_im_.resize(n);
        from_rad.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const double sd = std::sqrt(scale * shape[i] * df);
            omega_[i] = kTwoPi * freq[i];
            amp_re_[i] = sd * draw.normal();
            amp_im_[i] = sd * draw.normal();
            from_rad[i] = c.from_deg * kDeg + draw_spread_offset(draw, c.spread_s);
        }
        truth_.tp_s = c.period_s;
        break;
    }
    case SeaKind::swell:
    case SeaKind::chop:
        if (c.height_m < 0.0 || c.height_m > 30.0) bad("wave height must be between 0 and 30 m", c.height_m);
        if (!(c.period_s >= 0.5) || c.period_s > 60.0) bad("wave period must be between 0.5 and 60 s", c.period_s);
        // A crest passes the buoy at t = 0.
        omega_.assign(1, kTwoPi / c.period_s);
        amp_re_.assign(1, c.height_m / 2.0);
        amp_im_.assign(1, 0.0);
        from_rad.assign(1, c.from_deg * kDeg);
        truth_.tp_s = c.period_s;
        truth_.regular_height_m = c.height_m;
        break;
    case SeaKind::calm:
        break;
    }

    const size_t n = omega_.size();
    w_north_.resize(n);
    w_east_.resize(n);
    double m0 = 0.0, m2 = 0.0, cx = 0.0, sx = 0.0;
    std::vector<double> freq_hz(n), energy(n);
    for (size_t i = 0; i < n; ++i) {
        // Water at a crest moves the way the wave travels: toward FROM + 180 degrees.
        const double toward = from_rad[i] + kPi;
        w_north_[i] = omega_[i] * std::cos(toward);
        w_east_[i] = omega_[i] * std::sin(toward);
        const double e = 0.5 * (amp_re_[i] * amp_re_[i] + amp_im_[i] * amp_im_[i]);
        const double f = omega_[i] / kTwoPi;
        freq_hz[i] = f;
        energy[i] = e;
        m0 += e;
        m2 += e * f * f;
        cx += e * std::cos(from_rad[i]);
        sx += e * std::sin(from_rad[i]);
    }
    truth_.hs_m = 4.0 * std::sqrt(m0);
    if (m0 > 0.0) {
        truth_.tm02_s = std::sqrt(m0 / m2);
        truth_.tp_drawn_s = drawn_peak_period(freq_hz, energy);
        truth_.mean_from_deg = wrap_360(std::atan2(sx, cx) / kDeg);
        const double r = std::hypot(cx, sx) / m0;
        truth_.spread_deg = std::sqrt(std::fmax(0.0, 2.0 * (1.0 - r))) / kDeg;
    } else {
        truth_.tp_s = NAN;
        truth_.tp_drawn_s = NAN;
        truth_.tm02_s = NAN;
        truth_.mean_from_deg = NAN;
        truth_.spread_deg = NAN;
    }

    z_re_.assign(n, 0.0);
    z_im_.assign(n, 0.0);
    rot_re_.assign(n, 1.0);
    rot_im_.assign(n, 0.0);

    current_north_ = c.current_ms * std::cos(c.current_toward_deg * kDeg);
    current_east_ = c.current_ms * std::sin(c.current_toward_deg * kDeg);
    for (double& p : wander_phase_) p = kTwoPi * draw.uniform();
}

std::vector<SeaComponent> Sea::components() const {
    std::vector<SeaComponent> out(omega_.size());
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].freq_hz = omega_[i] / kTwoPi;
        out[i].amp_re_m = amp_re_[i];
        out[i].amp_im_m = amp_im_[i];
        // Back from the velocity weights: they point toward, the bearing is FROM.
        out[i].from_deg = wrap_360(std::atan2(w_east_[i], w_north_[i]) / kDeg + 180.0);
    }
    return out;
}

// Rotates every amplitude to time t_s from scratch.
void Sea::evaluate_direct(double t_s) {
    for (size_t i = 0; i < omega_.size(); ++i) {
        const double ph = omega_[i] * t_s;
        const double c = std::cos(ph), s = std::sin(ph);
        z_re_[i] = amp_re_[i] * c - amp_im_[i] * s;
        z_im_[i] = amp_re_[i] * s + amp_im_[i] * c;
    }
}

// Prepares the per-component rotation exp(i omega dt) for a step of dt_s seconds.
void Sea::set_step(double dt_s) {
    step_s_ = dt_s;
    for (size_t i = 0; i < omega_.size(); ++i) {
        rot_re_[i] = std::cos(omega_[i] * dt_s);
        rot_im_[i] = std::sin(omega_[i] * dt_s);
    }
}

double Sea::heading_at(double t_s) const {
    const SeaConfig& c = config_;
    double h = c.heading_deg;
    if (c.heading_wander_deg > 0.0) {
        for (int j = 0; j < 3; ++j)
            h += c.heading_wander_deg * kWanderShare[j] * std::sin(kTwoPi * t_s / kWanderPeriod_s[j] + wander_phase_[j]);
    }
    return wrap_360(h);
}

// Elevation and velocities by linear deep-water theory at the buoy's mean position: each
// component contributes eta = Re(z) and a horizontal velocity omega Re(z) along its
// direction of travel; the vertical velocity is d(eta)/dt = -omega Im(z).
MotionSample Sea::sample(double t_s) {
    const size_t n = omega_.size();
    double eta = 0.0, vn = 0.0, ve = 0.0, vup = 0.0;

    const bool on_grid = have_anchor_ && step_s_ > 0.0 && steps_ < kReanchorSteps &&
        std::fabs(t_s - (anchor_t_ + static_cast<double>(steps_ + 1) * step_s_)) < kGridTolerance_s;
    if (on_grid) {
        for (size_t i = 0; i < n; ++i) {
            const double zr = z_re_[i] * rot_re_[i] - z_im_[i] * rot_im_[i];
            const double zi = z_re_[i] * rot_im_[i] + z_im_[i] * rot_re_[i];
            z_re_[i] = zr;
            z_im_[i] = zi;
            eta += zr;
            vn += zr * w_north_[i];
            ve += zr * w_east_[i];
            vup -= zi * omega_[i];
        }
        ++steps_;
    } else {
        if (have_anchor_) {
            // A new spacing between calls becomes the step, kept to whole nanoseconds.
            const double dt = std::round((t_s - last_t_) * 1e9) / 1e9;
            if (dt > 0.0 && dt != step_s_) set_step(dt);
        }
        evaluate_direct(t_s);
        for (size_t i = 0; i < n; ++i) {
            eta += z_re_[i];
            vn += z_re_[i] * w_north_[i];
            ve += z_re_[i] * w_east_[i];
            vup -= z_im_[i] * omega_[i];
        }
        have_anchor_ = true;
        anchor_t_ = t_s;
        steps_ = 0;
    }
    last_t_ = t_s;

    MotionSample m;
    m.elevation_m = eta;
    m.v_north_ms = vn + current_north_;
    m.v_east_ms = ve + current_east_;
    m.v_up_ms = vup;
    m.heading_deg = heading_at(t_s);
    return m;
}

} // namespace sim
