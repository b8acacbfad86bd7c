// Scenario files (ondavix-sim --scenario FILE.toml): the world and a timeline of events.
//
//   duration = 7200                       # any command-line option of a run, by its name
//   start = "2026-06-30T23:40:00Z"        # without the dashes ("host_script" for
//   sea = "hs=4.5,tp=12,dir=270"          # --host-script), top level or in its table
//   [board]   oscillator_ppm, heap_limit, dip1
//   [sensor]  rate, motion, dropped (probability a frame is not sent), bad_crc
//   [gps]     model, baud, ttff, no_fix, satellites, dop = [P, H, V], position = [LAT, LON],
//             checksum_errors
//   [card]    present, image, size, type, erased_ones
//   [eeprom]  present, image
//   [[event]] at = SECONDS, what = NAME, and for a span until = SECONDS (default: the end)
//     reset                        the reset line pulled
//     power-cut                    supply lost and back: restart, sensor power cycled
//     console, text = "TEST"       a line typed on the console (CR after it)
//     telecommand, fields = "1,8"  $KVX03,1,8*hh sent by the host unit
//     sensor-silent                span: the sensor sends nothing
//     sensor-garbage, bytes = N    N bytes of noise on the sensor line
//     sensor-faults, dropped = P, bad_crc = P   span: frames lost or altered
//     gps-no-fix                   span: no sky
//     card-out                     span: the card out of its socket
//     card-write-errors            span: every block write refused
//     eeprom-absent                span: the chip answers nothing
//     eeprom-write-errors          span: the chip refuses writes
//
// Options on the command line override the file (they are applied after it). Every error
// names the file, the line and the key: "storm.toml:4: gps.baud: --gps-baud 38401: ...".
#pragma once

#include <string>

#include "sim/scenario.h"

namespace sim {

// Reads `path` into `s`; false with `error` as above.
bool load_scenario_file(const std::string& path, Scenario& s, std::string& error);

} // namespace sim
