// What a device outside the board sees of it: time, a scheduler, the far end of a serial
// line, pin levels. Implemented by the simulated board; used by the device models, which
// never see a firmware header or a firmware global.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sim {

// Virtual time in nanoseconds since the world started; never read from the host clock.
using Nanos = uint64_t;
constexpr Nanos kMicro = 1000;
constexpr Nanos kMilli = 1000 * kMicro;
constexpr Nanos kSecond = 1000 * kMilli;

class Scheduler {
public:
    virtual ~Scheduler() = default;
    virtual Nanos now() const = 0;
    // Runs fn at time t (>= now). Events at the same time run in the order they were scheduled.
    virtual void at(Nanos t, std::function<void()> fn) = 0;
};

// The device's end of a serial line. Bytes sent here leave one after the other, each taking
// ten bit times of the device's own rate; if that rate differs from the board port's, the
// board receives what its UART makes of the waveform.
class UartLink {
public:
    virtual ~UartLink() = default;
    virtual void send(const uint8_t* data, size_t n) = 0;
    void send(const char* text);
    virtual void set_baud(uint32_t baud) = 0;
    virtual uint32_t baud() const = 0;
    virtual size_t send_pending() const = 0; // bytes queued and not yet fully on the wire
};

// A device on a serial line implements this: called when one byte from the board has fully
// arrived (its stop bit has passed), at Scheduler::now().
class UartDevice {
public:
    virtual ~UartDevice() = default;
    virtual void on_byte(uint8_t b) = 0;
};

// An I2C target device on the board's bus.
class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // A write transaction addressed to the device; false = not acknowledged (no bytes taken).
    virtual bool write(const uint8_t* data, size_t n) = 0;
    // A read transaction; false = not acknowledged. Fills n bytes otherwise.
    virtual bool read(uint8_t* data, size_t n) = 0;
};

// A block device (the SD card) as the board's SPI card driver sees it.
class CardDevice {
public:
    virtual ~CardDevice() = default;
    virtual bool present() const = 0;
    virtual bool high_capacity() const = 0;
    virtual uint32_t block_count() const = 0;
    virtual bool erased_reads_ones() const = 0;
    virtual bool read(uint32_t block, uint8_t* dst512) = 0;
    virtual bool write(uint32_t block, const uint8_t* src512) = 0;
    virtual bool erase(uint32_t first, uint32_t last) = 0;
    virtual Nanos busy_time(uint32_t blocks_written) const = 0; // card's programming time
};

} // namespace sim
