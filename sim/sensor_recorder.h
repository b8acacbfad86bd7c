// Records what the inertial sensor sends to the board's sensor port, with arrival times, so
// that the same stream can be played into a board-less harness (board/qemu).
//
// File layout (little-endian): the 8 bytes "ODXSENS1", then one record per burst the sensor
// sent: u64 arrival time of its first byte (ns of virtual time), u32 time from one byte's
// arrival to the next (ns, ten bit times), u16 byte count, the bytes. A byte arrives when its
// stop bit has passed; a burst sent while the line was still busy starts when it is free.
#pragma once

#include <cstdio>
#include <string>

#include "world/link.h"

namespace sim {

class SensorRecorder final : public UartLink {
public:
    // Throws std::runtime_error naming the file when it cannot be created.
    SensorRecorder(Scheduler& clock, UartLink& line, const std::string& path);
    ~SensorRecorder() override;
    SensorRecorder(const SensorRecorder&) = delete;
    SensorRecorder& operator=(const SensorRecorder&) = delete;

    void send(const uint8_t* data, size_t n) override;
    void set_baud(uint32_t baud) override { line_.set_baud(baud); }
    uint32_t baud() const override { return line_.baud(); }
    size_t send_pending() const override { return line_.send_pending(); }

private:
    Scheduler& clock_;
    UartLink& line_;
    std::string path_;
    std::FILE* file_ = nullptr;
    Nanos line_free_ = 0; // when the last recorded byte has fully arrived
};

} // namespace sim
