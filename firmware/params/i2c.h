// The two primitive transfers with the parameter EEPROM (address 0x50, 16-bit memory
// addresses sent high byte first, multi-byte values stored most significant byte first).
#pragma once

#include <stdint.h>

// Stores the low ccantidad_bytes (1..4) bytes of ldato at iaddress, big-endian, splitting
// the write at 32-byte page boundaries; each transaction is followed by a 10 ms wait.
// Not verified. Main loop (needs the 1 ms tick running).
void writeEEPROM_variable(uint32_t ldato, uint16_t iaddress, uint8_t ccantidad_bytes);
// Returns the ccantidad_bytes (1..4) bytes at idireccion assembled big-endian. A chip that
// does not answer reads as blank (every byte 0xFF). Main loop (needs the 1 ms tick running).
uint32_t readEEPROM_variable(uint16_t idireccion, uint8_t ccantidad_bytes);
