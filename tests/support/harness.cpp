#include "harness.h"

#include "platform.h"

void setup();
void loop();

namespace sim::test {

Harness::Harness(const HarnessOptions& options) : board(options.board), eeprom(board) {
    console.attach(board, board.connect_uart(1, &console, 115200));
    host.attach(board, board.connect_uart(0, &host, 38400));
    sensor.attach(board, board.connect_uart(2, &sensor, 115200));
    gps.attach(board, board.connect_uart(3, &gps, 9600));
    if (options.eeprom_present) board.connect_i2c(0x50, &eeprom);
}

Harness::~Harness() = default;

void Harness::run(const std::function<void()>& fn) { board.run_code(fn, &TC0_Handler); }

void Harness::run_firmware(Nanos duration) {
    LinkedFirmware fw({&setup, &loop, &TC0_Handler});
    board.run(fw, board.now() + duration);
}

} // namespace sim::test
