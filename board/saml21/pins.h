// The SAML21 board's wiring: every fact of it that is a choice of this board layer rather
// than of the chip lives here, so that a different board changes this file only.
//
// The board numbers are the firmware's (pins 15, 17, 19-21, 28-30, 32, 33, 52); the PORT
// pins, SERCOM units, pads and multiplexer functions behind them are our choice for a
// SAML21J18B (64 pins), checked against the datasheet's I/O multiplexing table (function
// C = 2 is SERCOM, D = 3 is SERCOM-ALT). No schematic of the real board was available: the
// whole table is a choice, made so that no two functions share a pin or a SERCOM.
#pragma once

#include <stdint.h>

namespace saml21 {

struct PortPin { uint8_t group; uint8_t pin; }; // group 0 = PA, 1 = PB
constexpr PortPin kNoPin = {0xFF, 0xFF};

// Board pin number -> PORT pin. Unlisted numbers have no pin: writes are ignored and reads
// give 1 (an open input with pull-up).
struct PinMapEntry { uint8_t board; PortPin port; };
constexpr PinMapEntry kPinMap[] = {
    {15, {0, 2}},  // PA02  plain input 2
    {17, {0, 3}},  // PA03  GPS receiver power
    {19, {1, 10}}, // PB10  SD card chip select (file system)
    {20, {0, 6}},  // PA06  plain input 3
    {21, {0, 7}},  // PA07  plain input 1
    {28, {1, 0}},  // PB00  DIP switch 1
    {29, {1, 1}},  // PB01  DIP switch 2
    {30, {1, 2}},  // PB02  DIP switch 3
    {32, {1, 30}}, // PB30  LED 1 (heartbeat)
    {33, {1, 31}}, // PB31  LED 2
    {52, {1, 11}}, // PB11  SD card chip select (formatter)
};

// Serial ports: Serial0 host, Serial1 console, Serial2 sensor, Serial3 GPS. TX on pad 0,
// RX on pad 1 for every unit (TXPO 0, RXPO 1).
struct UartWiring { uint8_t sercom; PortPin tx; PortPin rx; uint8_t pmux; };
constexpr UartWiring kUart[4] = {
    {4, {1, 8}, {1, 9}, 3},   // Serial0: SERCOM4 PB08/PB09, function D
    {0, {0, 4}, {0, 5}, 3},   // Serial1: SERCOM0 PA04/PA05, function D
    {1, {0, 16}, {0, 17}, 2}, // Serial2: SERCOM1 PA16/PA17, function C
    {3, {0, 22}, {0, 23}, 2}, // Serial3: SERCOM3 PA22/PA23, function C
};

// I2C master (EEPROM): SERCOM2, SDA pad 0 PA08, SCL pad 1 PA09, function D (I2C uses pads 0
// and 1). The datasheet allows full I2C drive on some pins only; PA08/PA09 were picked as
// such pins, which a board must confirm. The EEPROM needs external pull-ups.
constexpr uint8_t kI2cSercom = 2;
constexpr PortPin kI2cSda = {0, 8}, kI2cScl = {0, 9};
constexpr uint8_t kI2cPmux = 3;

// SPI master (SD card): SERCOM5, MOSI pad 0 PB16, SCK pad 1 PB17 (function C), MISO pad 3
// PB23 (function D). DOPO 0 (DO pad 0, SCK pad 1), DIPO 3. The chip selects are plain
// outputs (pins 19 and 52 above), driven by the card driver.
constexpr uint8_t kSpiSercom = 5;
constexpr PortPin kSpiMosi = {1, 16}, kSpiSck = {1, 17}, kSpiMiso = {1, 23};
constexpr uint8_t kSpiPmuxMosiSck = 2, kSpiPmuxMiso = 3;

} // namespace saml21
