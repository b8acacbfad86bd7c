#include "world/eeprom.h"

#include <cstdio>
#include <fstream>

namespace sim {

Eeprom24::Eeprom24(const Scheduler& clock, size_t size, size_t page, Nanos write_cycle)
    : clock_(clock), mem_(size, 0xFF), page_(page), write_cycle_(write_cycle) {}

bool Eeprom24::write(const uint8_t* data, size_t n) {
    // During its internal write cycle the chip does not acknowledge its address.
    if (clock_.now() < busy_until_ || absent_ || (write_errors_ && n > 2)) {
        ++nacks_;
        return false;
    }
    if (n < 2) {
        // An address-only or empty transaction is acknowledged and sets nothing useful.
        if (n == 1) pointer_ = static_cast<uint16_t>((data[0] << 8) % mem_.size());
        return true;
    }
    pointer_ = static_cast<uint16_t>(((data[0] << 8) | data[1]) % mem_.size());
    if (n == 2) return true; // a dummy write that only sets the address for a read
    size_t page_start = pointer_ - pointer_ % page_;
    size_t offset = pointer_ % page_;
    for (size_t i = 2; i < n; ++i) {
        mem_[page_start + offset] = data[i];
        offset = (offset + 1) % page_; // the page buffer wraps inside the page
    }
    pointer_ = static_cast<uint16_t>(page_start + offset);
    busy_until_ = clock_.now() + write_cycle_;
    ++write_transactions_;
    return true;
}

bool Eeprom24::read(uint8_t* data, size_t n) {
    if (clock_.now() < busy_until_ || absent_) {
        ++nacks_;
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        data[i] = mem_[pointer_];
        pointer_ = static_cast<uint16_t>((pointer_ + 1) % mem_.size());
    }
    return true;
}

bool Eeprom24::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return true; // no file yet: a blank chip
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != mem_.size()) {
        error = path + ": EEPROM image of " + std::to_string(bytes.size()) + " bytes; expected exactly " +
                std::to_string(mem_.size()) + " bytes";
        return false;
    }
    mem_ = bytes;
    return true;
}

bool Eeprom24::save(const std::string& path, std::string& error) const {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(mem_.data()), static_cast<std::streamsize>(mem_.size()));
        if (!out) {
            error = path + ": cannot write the EEPROM image";
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": cannot replace the EEPROM image";
        return false;
    }
    return true;
}

} // namespace sim
