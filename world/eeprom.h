// A serial EEPROM of the 24xx family on I2C, as the firmware's parameter store.
//
// 16-bit memory addresses sent high byte first; writes within one 32-byte page (a write
// running past the page end wraps to the page start, as the chip's page buffer does); an
// internal write cycle after each write transaction during which the chip does not
// acknowledge; blank cells read 0xFF; the address counter runs on across reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "world/link.h"

namespace sim {

class Eeprom24 : public I2cDevice {
public:
    // 4096 bytes and 32-byte pages (a 32-kbit part); write cycle 5 ms (datasheet maximum).
    explicit Eeprom24(const Scheduler& clock, size_t size = 4096, size_t page = 32,
                      Nanos write_cycle = 5 * kMilli);

    bool write(const uint8_t* data, size_t n) override;
    bool read(uint8_t* data, size_t n) override;

    std::vector<uint8_t>& data() { return mem_; }
    const std::vector<uint8_t>& data() const { return mem_; }
    uint64_t writes() const { return write_transactions_; }
    uint64_t nacks() const { return nacks_; }
    // Faults of a scenario's timeline: off the bus (no transaction acknowledged), or a chip
    // whose writes fail (write transactions not acknowledged, reads as ever).
    void set_absent(bool absent) { absent_ = absent; }
    void set_write_errors(bool failing) { write_errors_ = failing; }

    // Loads the contents from a file of exactly size() bytes; a missing file leaves the chip
    // blank. Returns false with `error` set ("FILE: ...") for a file of another size.
    bool load(const std::string& path, std::string& error);
    bool save(const std::string& path, std::string& error) const;

private:
    const Scheduler& clock_;
    std::vector<uint8_t> mem_;
    size_t page_;
    Nanos write_cycle_;
    Nanos busy_until_ = 0;
    uint16_t pointer_ = 0;
    uint64_t write_transactions_ = 0;
    uint64_t nacks_ = 0;
    bool absent_ = false;
    bool write_errors_ = false;
};

} // namespace sim
