// Hand-made sample sequences for the wave-analysis tests: samples go into the window the
// way the log decoding puts them there, and the analysis runs on every shift.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "unit/waves/sensor_prueba.h"

namespace prueba {

struct Muestras {
    int32_t n = 0;             // sample number of the last sample
    int32_t ts = 1000000;      // its time stamp, us
    int32_t dt = 100000;       // spacing, us (10 Hz)

    // One sample (heave cm, positive down; velocities m/s); the analysis runs once the
    // window is full. Firmware code.
    void empuja(int16_t heave, float vn = 0.2f, float ve = -0.1f, uint16_t rumbo = 90) {
        ++n;
        ts += dt;
        if (TernaDatos_pos1_0 == 0) {
            TernaDatos_pos1_0 = n, TernaDatos_pos1_1 = ts, TernaDatos_pos1_2 = rumbo;
            TernaDatos_pos1_3 = heave, TernaDatos_pos1_4 = vn, TernaDatos_pos1_5 = ve;
            return;
        }
        if (TernaDatos_pos2_0 == 0) {
            TernaDatos_pos2_0 = n, TernaDatos_pos2_1 = ts, TernaDatos_pos2_2 = rumbo;
            TernaDatos_pos2_3 = heave, TernaDatos_pos2_4 = vn, TernaDatos_pos2_5 = ve;
            return;
        }
        if (TernaDatos_pos3_0 != 0) {
            TernaDatos_pos1_0 = TernaDatos_pos2_0, TernaDatos_pos1_1 = TernaDatos_pos2_1;
            TernaDatos_pos1_2 = TernaDatos_pos2_2, TernaDatos_pos1_3 = TernaDatos_pos2_3;
            TernaDatos_pos1_4 = TernaDatos_pos2_4, TernaDatos_pos1_5 = TernaDatos_pos2_5;
            TernaDatos_pos2_0 = TernaDatos_pos3_0, TernaDatos_pos2_1 = TernaDatos_pos3_1;
            TernaDatos_pos2_2 = TernaDatos_pos3_2, TernaDatos_pos2_3 = TernaDatos_pos3_3;
            TernaDatos_pos2_4 = TernaDatos_pos3_4, TernaDatos_pos2_5 = TernaDatos_pos3_5;
        }
        TernaDatos_pos3_0 = n, TernaDatos_pos3_1 = ts, TernaDatos_pos3_2 = rumbo;
        TernaDatos_pos3_3 = heave, TernaDatos_pos3_4 = vn, TernaDatos_pos3_5 = ve;
        contPtosOlaActual = n;
        ProcesarTernaDatos();
    }
    void empuja(const std::vector<int16_t>& heaves) {
        for (int16_t x : heaves) empuja(x);
    }
    // `ciclos` periods of `periodo` samples of a sinusoid of amplitude `amplitud` cm with the
    // samples half a step off the zero crossings, so no sample is exactly 0; the horizontal
    // velocity is that of a wave travelling toward `hacia_grados` (compass), in phase with
    // the heave (positive down).
    void senoide(int periodo, double amplitud, int ciclos, double hacia_grados = 60.0, double vel = 0.5) {
        const double pi = 3.14159265358979;
        for (int k = 0; k < periodo * ciclos; ++k) {
            double fase = 2.0 * pi * (k + 0.5) / periodo;
            double s = std::sin(fase);
            // Heave positive down: the water moves toward the travel direction under the
            // sea's crest, which is the heave's minimum.
            double u = -vel * s;
            empuja(int16_t(std::lround(amplitud * s)), float(u * std::cos(hacia_grados * pi / 180.0)),
                   float(u * std::sin(hacia_grados * pi / 180.0)));
        }
    }
};

} // namespace prueba
