#include "sim/sensor_recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {
void put_le(std::FILE* f, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) std::fputc(static_cast<int>((v >> (8 * i)) & 0xFF), f);
}
} // namespace

SensorRecorder::SensorRecorder(Scheduler& clock, UartLink& line, const std::string& path)
    : clock_(clock), line_(line), path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        throw std::runtime_error("--record-sensor " + path + ": cannot create the file (" +
                                 std::strerror(errno) + ")");
    std::fwrite("ODXSENS1", 1, 8, file_);
}

SensorRecorder::~SensorRecorder() {
    if (file_) std::fclose(file_);
}

void SensorRecorder::send(const uint8_t* data, size_t n) {
    // Ten bit times, rounded as the simulated line rounds a frame's length.
    const uint32_t baud = std::max<uint32_t>(line_.baud(), 1);
    const Nanos byte_time = (10 * kSecond + baud / 2) / baud;
    size_t done = 0;
    while (done < n) { // records of at most 65535 bytes
        size_t part = std::min<size_t>(n - done, 65535);
        Nanos first = std::max(clock_.now(), line_free_) + byte_time;
        put_le(file_, first, 8);
        put_le(file_, byte_time, 4);
        put_le(file_, part, 2);
        std::fwrite(data + done, 1, part, file_);
        line_free_ = first + (part - 1) * byte_time;
        done += part;
    }
    if (std::ferror(file_))
        throw std::runtime_error("--record-sensor " + path_ + ": cannot write the file (" +
                                 std::strerror(errno) + ")");
    line_.send(data, n);
}

} // namespace sim
