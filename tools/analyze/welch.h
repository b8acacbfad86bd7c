// Spectral and directional sea state from heave and horizontal velocity: Welch's averaged,
// tapered periodograms (FFTW) and the moments, periods and first-order directional Fourier
// coefficients drawn from them.
#pragma once

#include <cstddef>
#include <vector>

namespace analyze {

enum class Taper { hann, hamming, boxcar };

struct WelchOptions {
    double segment_s = 256.0; // 2560 samples at 10 Hz: bins of 1/256 Hz = 0.0039 Hz
    double overlap = 0.5;     // fraction of a segment shared with the next
    Taper taper = Taper::hann;
    double f_min_hz = 0.025;  // band of the sea-state figures: 40 s ...
    double f_max_hz = 0.58;   // ... to 1.7 s, the band of the usual wave buoys
};

// One-sided auto- and co-spectra at f = k df, k = 0 .. N/2, of heave (z, positive down, m)
// and north (n) and east (e) velocity (m/s): units m^2/Hz, (m/s)^2/Hz and m (m/s)/Hz.
struct Spectra {
    double df_hz = 0.0;
    size_t segments = 0;
    std::vector<double> zz, nn, ee, zn, ze; // zn, ze: co-spectra (real parts of cross spectra)
};

// Accumulates the segments of gap-free runs of samples; a segment never spans two runs.
class Welch {
public:
    Welch(const WelchOptions& options, double rate_hz);
    ~Welch();
    Welch(const Welch&) = delete;
    Welch& operator=(const Welch&) = delete;

    size_t segment_samples() const { return n_; }
    // Adds every whole segment that fits in a run of `len` evenly spaced samples.
    void add_run(const double* z, const double* vn, const double* ve, size_t len);
    // The averages so far (all zero with no segment).
    Spectra spectra() const;

private:
    void transform(const double* x, double* re, double* im);

    size_t n_ = 0, step_ = 0;
    double rate_hz_ = 0.0;
    std::vector<double> taper_;
    double taper_power_ = 0.0; // sum of the taper's squares
    double* in_ = nullptr;     // FFTW buffers
    void* out_ = nullptr;
    void* plan_ = nullptr;
    Spectra sum_;
    std::vector<double> re_[3], im_[3];
};

// The sea state of a band of the spectra. NaN where a figure cannot be formed (no energy).
struct SeaState {
    double hm0_m = 0, tp_s = 0, tm01_s = 0, tm02_s = 0, width = 0;
    double peak_dir_deg = 0, mean_dir_deg = 0, spread_deg = 0;
};

// Per-frequency direction (coming from, degrees clockwise from north) and spread (degrees)
// from the first-order coefficients; see sea_state() for the conventions.
struct Directional {
    std::vector<double> a1, b1, dir_deg, spread_deg;
};

Directional directional(const Spectra& s);
SeaState sea_state(const Spectra& s, const WelchOptions& band);

} // namespace analyze
