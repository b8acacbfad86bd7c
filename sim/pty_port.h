// A serial port of the board opened to the outside as a pseudo-terminal (ondavix-sim --pty):
// whatever the firmware writes on the port reaches the device model behind it (the console
// terminal, the host unit) and also the pseudo-terminal; what a program writes into the
// pseudo-terminal is taken by read_typed() and sent into the line by the simulation, at the
// line's rate.
//
// The simulator holds the terminal side open itself, in raw mode, so the port stays usable
// while nobody has it open and after a program closes it. Bytes the firmware writes while
// nobody reads wait in the pseudo-terminal (a few KB); when it is full the oldest are given
// up, as on a line nobody listens to, so a program that opens the port late reads the latest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "world/link.h"

namespace sim {

class PtyPort : public UartDevice {
public:
    // Opens a new pseudo-terminal; `inner` (may be null) still receives every byte. `baud`
    // is only shown as the terminal's speed. Throws std::runtime_error when the system
    // gives no pseudo-terminal.
    PtyPort(UartDevice* inner, uint32_t baud);
    ~PtyPort() override;
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // The terminal's path (/dev/pts/N), for a program to open.
    const std::string& path() const { return path_; }
    // The descriptor to wait on for typed bytes.
    int fd() const { return master_; }

    void on_byte(uint8_t b) override;
    // Hands the firmware's bytes received so far to the pseudo-terminal, never waiting.
    void flush();
    // The bytes typed since the last call.
    std::string read_typed();

private:
    UartDevice* inner_;
    int master_ = -1;
    int terminal_ = -1; // the side a program opens, held open by us
    std::string path_;
    std::vector<uint8_t> out_;
};

} // namespace sim
