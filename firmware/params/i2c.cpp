// EEPROM transfers over the I2C bus.
#include "params/i2c.h"

#include "core/timebase.h"
#include "declaraciones.h"
#include "platform.h"

uint8_t ceeprom_sin_respuesta = 0;

// Value of a blank (erased) field of n bytes.
static uint32_t valor_borrado(uint8_t ccantidad_bytes) {
    return ccantidad_bytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * ccantidad_bytes)) - 1u;
}

// Starts a write transaction at address idireccion.
static void comienza_escritura(uint16_t idireccion) {
    Wire.beginTransmission(DIRECCION_I2C_EEPROM);
    Wire.write(static_cast<uint8_t>(idireccion >> 8));
    Wire.write(static_cast<uint8_t>(idireccion & 0xFF));
}

// Writes are skipped once the chip has failed a read (ceeprom_sin_respuesta): a part that
// does not answer reads may still take writes, and the values the firmware would store
// then are the defaults it fell back on, which must not replace the stored parameters.
void writeEEPROM_variable(uint32_t ldato, uint16_t iaddress, uint8_t ccantidad_bytes) {
    if (ccantidad_bytes == 0 || ceeprom_sin_respuesta != 0) return;
    if (ccantidad_bytes > 4) ccantidad_bytes = 4;

    comienza_escritura(iaddress);
    for (uint8_t k = 0; k < ccantidad_bytes; ++k) {
        uint8_t cdesplazamiento = static_cast<uint8_t>(8 * (ccantidad_bytes - 1 - k));
        Wire.write(static_cast<uint8_t>((ldato >> cdesplazamiento) & 0xFF));
        uint16_t isiguiente = static_cast<uint16_t>(iaddress + k + 1);
        if (isiguiente % TAM_PAGINA_EEPROM == 0 && k + 1 < ccantidad_bytes) {
            // The chip's page buffer would wrap to the page start: finish this page first.
            Wire.endTransmission();
            retardo_milisegundos(RETARDO_ESCRITURA_EEPROM_MS);
            comienza_escritura(isiguiente);
        }
    }
    Wire.endTransmission();
    retardo_milisegundos(RETARDO_ESCRITURA_EEPROM_MS);
}

// Decision on a chip that does not answer: the read is tried INTENTOS_LECTURA_EEPROM
// times (4 ms each, feeding the watchdog), not for ever, so an absent or failed part cannot
// hold the device in start-up. After that the chip is given up for the rest of this start:
// one console message, every read returns the blank value at once (the parameter load then
// keeps its defaults in RAM) and no write is sent to it.
uint32_t readEEPROM_variable(uint16_t idireccion, uint8_t ccantidad_bytes) {
    if (ccantidad_bytes == 0) return 0;
    if (ccantidad_bytes > 4) ccantidad_bytes = 4;
    if (ceeprom_sin_respuesta != 0) return valor_borrado(ccantidad_bytes);

    for (uint8_t cintento = 0; cintento < INTENTOS_LECTURA_EEPROM; ++cintento) {
        sodaq_wdt_reset();
        comienza_escritura(idireccion);
        Wire.endTransmission();
        Wire.requestFrom(DIRECCION_I2C_EEPROM, ccantidad_bytes);

        ctimeout_eeprom = TIMEOUT_LECTURA_EEPROM_MS;
        while (Wire.available() < ccantidad_bytes && ctimeout_eeprom != 0) {
        }
        uint8_t cok = Wire.available() >= ccantidad_bytes ? 1 : 0;
        ctimeout_eeprom = 0;

        uint32_t ldato = 0;
        for (uint8_t k = 0; k < ccantidad_bytes; ++k) {
            ldato = (ldato << 8) | static_cast<uint8_t>(Wire.read());
        }
        if (cok == 1) return ldato;
    }

    ceeprom_sin_respuesta = 1;
    Serial1.println("EEPROM sin respuesta: parametros por defecto, sin escribir en ella.");
    return valor_borrado(ccantidad_bytes);
}
