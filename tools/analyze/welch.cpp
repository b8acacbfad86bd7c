#include "welch.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace analyze {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = 180.0 / kPi;

// A least-squares straight line taken off a segment (mean and drift of the record, and
// the buoy's steady drift in the velocities), written into `out`.
void detrend(const double* x, size_t n, double* out) {
    const double mid = 0.5 * static_cast<double>(n - 1);
    double sx = 0, sxt = 0, stt = 0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) - mid;
        sx += x[i];
        sxt += x[i] * t;
        stt += t * t;
    }
    const double mean = sx / static_cast<double>(n), slope = stt > 0 ? sxt / stt : 0.0;
    for (size_t i = 0; i < n; ++i) out[i] = x[i] - mean - slope * (static_cast<double>(i) - mid);
}

double bearing(double north, double east) {
    double d = std::atan2(east, north) * kDeg;
    if (d < 0) d += 360.0;
    return d >= 360.0 ? d - 360.0 : d;
}

// Circular spread sqrt(2 (1 - r1)) in degrees, r1 the length of the mean unit vector of the
// directions (Kuik et al. 1988): the same measure the simulated sea states as its truth.
double spread_of(double a1, double b1) {
    const double r = std::min(1.0, std::hypot(a1, b1));
    return std::sqrt(2.0 * (1.0 - r)) * kDeg;
}

} // namespace

Welch::Welch(const WelchOptions& o, double rate_hz) : rate_hz_(rate_hz) {
    if (!(rate_hz > 0) || !(o.segment_s > 0) || !(o.overlap >= 0 && o.overlap < 1))
        throw std::invalid_argument("Welch: rate and segment length must be positive, overlap in [0, 1)");
    n_ = static_cast<size_t>(std::lround(o.segment_s * rate_hz));
    if (n_ < 8) throw std::invalid_argument("Welch: a segment must hold at least 8 samples");
    step_ = std::max<size_t>(1, static_cast<size_t>(std::lround(static_cast<double>(n_) * (1.0 - o.overlap))));
    // Periodic tapers (the DFT-even form): the ones whose shifted copies add up evenly.
    taper_.resize(n_);
    for (size_t i = 0; i < n_; ++i) {
        const double c = std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(n_));
        taper_[i] = o.taper == Taper::hann ? 0.5 - 0.5 * c : o.taper == Taper::hamming ? 0.54 - 0.46 * c : 1.0;
        taper_power_ += taper_[i] * taper_[i];
    }
    in_ = fftw_alloc_real(n_);
    out_ = fftw_alloc_complex(n_ / 2 + 1);
    plan_ = fftw_plan_dft_r2c_1d(static_cast<int>(n_), in_, static_cast<fftw_complex*>(out_), FFTW_ESTIMATE);
    const size_t bins = n_ / 2 + 1;
    sum_.df_hz = rate_hz / static_cast<double>(n_);
    for (auto* v : {&sum_.zz, &sum_.nn, &sum_.ee, &sum_.zn, &sum_.ze}) v->assign(bins, 0.0);
    for (int c = 0; c < 3; ++c) re_[c].resize(bins), im_[c].resize(bins);
}

Welch::~Welch() {
    fftw_destroy_plan(static_cast<fftw_plan>(plan_));
    fftw_free(in_);
    fftw_free(out_);
}

void Welch::transform(const double* x, double* re, double* im) {
    detrend(x, n_, in_);
    for (size_t i = 0; i < n_; ++i) in_[i] *= taper_[i];
    fftw_execute(static_cast<fftw_plan>(plan_));
    const fftw_complex* X = static_cast<const fftw_complex*>(out_);
    for (size_t k = 0; k <= n_ / 2; ++k) re[k] = X[k][0], im[k] = X[k][1];
}

void Welch::add_run(const double* z, const double* vn, const double* ve, size_t len) {
    for (size_t start = 0; start + n_ <= len; start += step_) {
        transform(z + start, re_[0].data(), im_[0].data());
        transform(vn + start, re_[1].data(), im_[1].data());
        transform(ve + start, re_[2].data(), im_[2].data());
        for (size_t k = 0; k <= n_ / 2; ++k) {
            const double zr = re_[0][k], zi = im_[0][k];
            sum_.zz[k] += zr * zr + zi * zi;
            sum_.nn[k] += re_[1][k] * re_[1][k] + im_[1][k] * im_[1][k];
            sum_.ee[k] += re_[2][k] * re_[2][k] + im_[2][k] * im_[2][k];
            sum_.zn[k] += zr * re_[1][k] + zi * im_[1][k]; // Re(Z conj(N))
            sum_.ze[k] += zr * re_[2][k] + zi * im_[2][k];
        }
        ++sum_.segments;
    }
}

Spectra Welch::spectra() const {
    Spectra s = sum_;
    if (s.segments == 0) return s;
    // One-sided density: 2 |X|^2 / (fs sum w^2), averaged over the segments; DC and Nyquist
    // bins are not doubled (they lie outside any sensible band anyway).
    const double scale = 2.0 / (rate_hz_ * taper_power_ * static_cast<double>(s.segments));
    for (auto* v : {&s.zz, &s.nn, &s.ee, &s.zn, &s.ze})
        for (size_t k = 0; k < v->size(); ++k) (*v)[k] *= (k == 0 || 2 * k == n_) ? scale / 2 : scale;
    return s;
}

// First-order directional coefficients from heave and horizontal velocity.
//
// Linear waves: a component from bearing theta (coming FROM, clockwise from north) moves
// the water at its crest toward theta + 180, in phase with the elevation; so the velocity
// is omega * eta * (cos(theta + 180), sin(theta + 180)) = -omega * eta * (cos, sin)(theta).
// The sensor's heave is positive DOWN, z = -eta, hence
//   Co(z, vn) = omega S cos(theta),  Co(z, ve) = omega S sin(theta),  Snn + See = omega^2 S.
// Normalising by sqrt(Szz (Snn + See)) takes omega out without assuming a dispersion law or
// a depth:
//   a1(f) = Co(z, vn) / sqrt(Szz (Snn + See)),  b1(f) = Co(z, ve) / sqrt(Szz (Snn + See)),
// the mean cosine and sine of the coming-from bearing at f. Direction at f: atan2(b1, a1),
// a compass bearing (b1 is the east part), the convention of the firmware's results.
Directional directional(const Spectra& s) {
    Directional d;
    const size_t bins = s.zz.size();
    for (auto* v : {&d.a1, &d.b1, &d.dir_deg, &d.spread_deg}) v->assign(bins, NAN);
    for (size_t k = 0; k < bins; ++k) {
        const double den = std::sqrt(s.zz[k] * (s.nn[k] + s.ee[k]));
        if (!(den > 0)) continue;
        d.a1[k] = s.zn[k] / den;
        d.b1[k] = s.ze[k] / den;
        d.dir_deg[k] = bearing(d.a1[k], d.b1[k]);
        d.spread_deg[k] = spread_of(d.a1[k], d.b1[k]);
    }
    return d;
}

// Moments m_j = sum over the band of S(f) f^j df.
//   Hm0 = 4 sqrt(m0); Tm01 = m0 / m1; Tm02 = sqrt(m0 / m2);
//   width: Longuet-Higgins' (1975) nu = sqrt(m0 m2 / m1^2 - 1) (it needs no m4, which the
//   f^-5 tail and the band's upper edge make unreliable).
//   Tp = 1 / fp, fp at the highest band bin, refined by the vertex of the parabola through
//   it and its two neighbours (offset 0.5 (S- - S+) / (S- - 2 S0 + S+) bins).
// Directions, coming from (see directional()):
//   mean: atan2(B1, A1) with A1 = sum S a1 df / m0, B1 likewise: the energy-weighted mean
//   of the unit vectors, i.e. of every component's bearing weighted by its energy;
//   spread: sqrt(2 (1 - |(A1, B1)|)), over the whole band (so the turning of the direction
//   with frequency counts as spread, as in the simulated sea's own figure);
//   peak: the energy-weighted (a1, b1) of the peak bin and its two neighbours (one bin
//   alone carries only a few degrees of freedom).
SeaState sea_state(const Spectra& s, const WelchOptions& band) {
    SeaState r;
    r.hm0_m = r.tp_s = r.tm01_s = r.tm02_s = r.width = r.peak_dir_deg = r.mean_dir_deg = r.spread_deg = NAN;
    if (s.segments == 0 || s.zz.empty()) return r;
    const Directional d = directional(s);
    const size_t last = s.zz.size() - 1;
    const size_t lo = std::max<size_t>(1, static_cast<size_t>(std::ceil(band.f_min_hz / s.df_hz - 1e-9)));
    const size_t hi = std::min(last, static_cast<size_t>(std::floor(band.f_max_hz / s.df_hz + 1e-9)));
    if (lo > hi) return r;
    double m0 = 0, m1 = 0, m2 = 0, A = 0, B = 0;
    size_t peak = lo;
    for (size_t k = lo; k <= hi; ++k) {
        const double f = static_cast<double>(k) * s.df_hz, e = s.zz[k] * s.df_hz;
        m0 += e, m1 += e * f, m2 += e * f * f;
        if (!std::isnan(d.a1[k])) A += e * d.a1[k], B += e * d.b1[k];
        if (s.zz[k] > s.zz[peak]) peak = k;
    }
    if (!(m0 > 0)) return r;
    r.hm0_m = 4.0 * std::sqrt(m0);
    r.tm01_s = m0 / m1;
    r.tm02_s = std::sqrt(m0 / m2);
    r.width = std::sqrt(std::max(0.0, m0 * m2 / (m1 * m1) - 1.0));
    double kp = static_cast<double>(peak);
    if (peak > 0 && peak < last) {
        const double sm = s.zz[peak - 1], s0 = s.zz[peak], sp = s.zz[peak + 1];
        const double den = sm - 2.0 * s0 + sp;
        if (den < 0) kp += 0.5 * (sm - sp) / den;
    }
    r.tp_s = 1.0 / (kp * s.df_hz);
    r.mean_dir_deg = bearing(A, B);
    r.spread_deg = spread_of(A / m0, B / m0);
    double pa = 0, pb = 0;
    for (size_t k = peak - 1; k <= std::min(last, peak + 1); ++k)
        if (!std::isnan(d.a1[k])) pa += s.zz[k] * d.a1[k], pb += s.zz[k] * d.b1[k];
    r.peak_dir_deg = bearing(pa, pb);
    return r;
}

} // namespace analyze
