// A simulated board with the usual devices attached, for tests of firmware modules:
// capturing terminals on the four serial ports and the parameter EEPROM on I2C.
//
//   sim::test::Harness h;                       // blank EEPROM, all ports captured
//   h.run([] { writeEEPROM_variable(3000, 3, 2); });  // firmware code, time moves
//   EXPECT_EQ(h.eeprom.data()[3], 0x0B);
//   h.run_firmware(5 * sim::kSecond);           // setup() then loop() for 5 s
//   EXPECT_NE(h.console.text().find("Revision de parametros."), std::string::npos);
#pragma once

#include <functional>
#include <string>

#include "board/sim/board.h"
#include "world/eeprom.h"
#include "world/terminal.h"

namespace sim::test {

struct HarnessOptions {
    BoardConfig board;
    bool eeprom_present = true;
};

class Harness {
public:
    explicit Harness(const HarnessOptions& options = {});
    ~Harness();

    Board board;
    Eeprom24 eeprom;        // the chip at 0x50; data() gives its bytes (blank: all 0xFF)
    Terminal console;       // Serial1 at 115200
    Terminal host;          // Serial0 at 38400
    Terminal sensor;        // Serial2 at 115200
    Terminal gps;           // Serial3 at 9600

    // Runs fn as firmware code (the timer interrupt TC0_Handler is attached, time moves
    // with every platform call). A watchdog reset inside fn throws sim::BoardReset.
    void run(const std::function<void()>& fn);
    // Runs the linked firmware, setup() then loop() for ever, until `duration` of virtual
    // time has passed or the board resets (recorded in board.restarts()).
    void run_firmware(Nanos duration);
};

} // namespace sim::test
