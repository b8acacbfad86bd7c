// The SD card on SERCOM5 in SPI master mode, and the card's SPI-mode protocol on top: the
// raw 512-byte block calls of platform.h that the FAT code stands on.
//
// Start-up at 400 kHz (at most 400 kHz until the card has left its idle state): 80 clocks
// with the chip select high, CMD0 (GO_IDLE_STATE) until the card answers idle, CMD8
// (SEND_IF_COND, 2.7-3.6 V, check pattern 0xAA): refused by a version 1 card, echoed by a
// version 2 card; then CMD55 + ACMD41 (SD_SEND_OP_COND, HCS set for version 2) until the card
// leaves idle; for version 2 CMD58 (READ_OCR): CCS set means SDHC/SDXC, addressed in
// blocks, otherwise (SDSC) in bytes. CMD16 fixes 512-byte blocks on SDSC, CMD9 gives the CSD
// (the block count), ACMD51 the SCR (DATA_STAT_AFTER_ERASE, bit 55: erased blocks read as
// ones or zeros). Then the bus goes to the configured speed.
//
// Transfers: CMD17 / CMD24 single blocks behind the 0xFE data token; CMD25 multi-block
// writes with 0xFC per block and the 0xFD stop token; CMD32 / CMD33 / CMD38 erase; CMD13
// after a write reads the card's status. CRCs are not checked (the card ignores them in SPI
// mode after CMD8, which carries a valid one).
#include "platform.h"
#include "pins.h"
#include "registers.h"

using namespace saml21;

namespace {

constexpr uint32_t kRefHz = 48000000; // generator 0
constexpr uint32_t kInitHz = 400000;

// Waits, in SysTick milliseconds. A card that needs longer is given up on.
constexpr uint32_t kInitTimeoutMs = 1000;  // ACMD41 loop
constexpr uint32_t kReadTimeoutMs = 300;   // data token of a read
constexpr uint32_t kWriteTimeoutMs = 600;  // busy after a written block
constexpr uint32_t kEraseTimeoutMs = 30000; // busy after CMD38; the watchdog is fed meanwhile

enum : uint8_t {
    CMD0 = 0, CMD8 = 8, CMD9 = 9, CMD12 = 12, CMD13 = 13, CMD16 = 16, CMD17 = 17, CMD24 = 24,
    CMD25 = 25, CMD32 = 32, CMD33 = 33, CMD38 = 38, CMD55 = 55, CMD58 = 58, ACMD41 = 41, ACMD51 = 51
};
constexpr uint8_t R1_IDLE = 0x01, R1_ILLEGAL = 0x04;
constexpr uint8_t TOKEN_DATA = 0xFE, TOKEN_MULTI = 0xFC, TOKEN_STOP = 0xFD;

uint8_t g_cs = 0xFF;        // board pin of the started card's chip select
uint8_t g_type = SD_CARD_NONE;
uint32_t g_blocks = 0;
bool g_erased_ones = false;
bool g_in_multi_write = false;

uint32_t spi() { return SERCOM(kSpiSercom); }

// f_SCK = f_ref / (2 (BAUD + 1)): the smallest BAUD that does not exceed hz.
void spi_speed(uint32_t hz) {
    if (hz == 0) hz = kInitHz;
    uint32_t baud = (kRefHz + 2 * hz - 1) / (2 * hz);
    baud = baud == 0 ? 0 : baud - 1;
    if (baud > 255) baud = 255;
    uint32_t s = spi();
    r32(s + S_CTRLA) &= ~CTRLA_ENABLE;
    while (r32(s + S_SYNCBUSY) != 0) {}
    r8(s + S_BAUD) = static_cast<uint8_t>(baud);
    r32(s + S_CTRLA) |= CTRLA_ENABLE;
    while (r32(s + S_SYNCBUSY) != 0) {}
}

// Hands a pin to its peripheral function (input buffer on, for MISO's sake).
void mux(PortPin p, uint8_t function) {
    uint32_t g = PORT_G(p.group);
    volatile uint8_t& pmux = r8(g + P_PMUX + p.pin / 2);
    pmux = (p.pin & 1) ? static_cast<uint8_t>((pmux & 0x0F) | (function << 4))
                       : static_cast<uint8_t>((pmux & 0xF0) | function);
    r8(g + P_PINCFG + p.pin) = PINCFG_PMUXEN | PINCFG_INEN;
}

void spi_init() {
    uint32_t s = spi();
    sercom_bus_clock(kSpiSercom);
    r32(GCLK_PCHCTRL(PCH_SERCOM_CORE(kSpiSercom))) = 1u << 6; // generator 0, enabled
    while ((r32(GCLK_PCHCTRL(PCH_SERCOM_CORE(kSpiSercom))) & (1u << 6)) == 0) {}
    r32(s + S_CTRLA) = CTRLA_SWRST;
    while (r32(s + S_SYNCBUSY) & 1u) {}
    // Mode 0 (CPOL 0, CPHA 0), MSB first, DO on pad 0 with SCK on pad 1, DI on pad 3.
    r32(s + S_CTRLA) = CTRLA_MODE_SPI_MASTER | SPI_DOPO(0) | SPI_DIPO(3);
    r32(s + S_CTRLB) = CTRLB_RXEN; // 8-bit characters
    while (r32(s + S_SYNCBUSY) != 0) {}
    mux(kSpiMosi, kSpiPmuxMosiSck);
    mux(kSpiSck, kSpiPmuxMosiSck);
    mux(kSpiMiso, kSpiPmuxMiso);
    spi_speed(kInitHz);
}

uint8_t xfer(uint8_t out) {
    uint32_t s = spi();
    while ((r8(s + S_INTFLAG) & INT_DRE) == 0) {}
    r8(s + S_DATA) = out;
    while ((r8(s + S_INTFLAG) & INT_RXC) == 0) {}
    return r8(s + S_DATA);
}

void select() { digitalWrite(g_cs, LOW); }

// Chip select high, then one more byte so that the card lets go of its data out line.
void deselect() {
    digitalWrite(g_cs, HIGH);
    xfer(0xFF);
}

// The card holds its data out low while busy.
bool wait_ready(uint32_t timeout_ms, bool feed_watchdog = false) {
    uint32_t start = millis();
    while (xfer(0xFF) != 0xFF) {
        if (feed_watchdog) sodaq_wdt_reset();
        if (millis() - start > timeout_ms) return false;
    }
    return true;
}

// Sends one command with the chip select left low; returns the R1 answer (bit 7 set: none).
uint8_t command(uint8_t cmd, uint32_t arg) {
    select();
    if (cmd != CMD0 && !wait_ready(kReadTimeoutMs)) return 0xFF;
    xfer(static_cast<uint8_t>(0x40 | cmd));
    xfer(static_cast<uint8_t>(arg >> 24));
    xfer(static_cast<uint8_t>(arg >> 16));
    xfer(static_cast<uint8_t>(arg >> 8));
    xfer(static_cast<uint8_t>(arg));
    // Valid CRCs for the two commands sent before the card ignores them.
    xfer(cmd == CMD0 ? 0x95 : cmd == CMD8 ? 0x87 : 0x01);
    if (cmd == CMD12) xfer(0xFF); // a stuff byte before the answer
    uint8_t r1 = 0xFF;
    for (int i = 0; i < 10 && (r1 & 0x80); ++i) r1 = xfer(0xFF);
    return r1;
}

uint8_t app_command(uint8_t acmd, uint32_t arg) {
    command(CMD55, 0);
    deselect();
    return command(acmd, arg);
}

// Reads n data bytes behind a data token, then the two CRC bytes.
bool read_data(uint8_t* dst, uint32_t n) {
    uint32_t start = millis();
    uint8_t token;
    while ((token = xfer(0xFF)) == 0xFF) {
        if (millis() - start > kReadTimeoutMs) return false;
    }
    if (token != TOKEN_DATA) return false;
    for (uint32_t i = 0; i < n; ++i) dst[i] = xfer(0xFF);
    xfer(0xFF);
    xfer(0xFF);
    return true;
}

// Sends one block behind a token; true when the card's data response says accepted.
bool write_data(uint8_t token, const uint8_t* src) {
    xfer(token);
    for (uint32_t i = 0; i < 512; ++i) xfer(src[i]);
    xfer(0xFF); // CRC, not checked by the card
    xfer(0xFF);
    return (xfer(0xFF) & 0x1F) == 0x05;
}

// SDHC addresses blocks, SDSC bytes.
uint32_t address_of(uint32_t block) { return g_type == SD_CARD_SDHC ? block : block << 9; }

uint32_t blocks_from_csd(const uint8_t* csd) {
    if ((csd[0] >> 6) == 1) { // CSD version 2: C_SIZE in 512 KiB units
        uint32_t c_size = (static_cast<uint32_t>(csd[7] & 0x3F) << 16) |
                          (static_cast<uint32_t>(csd[8]) << 8) | csd[9];
        return (c_size + 1) << 10;
    }
    uint32_t read_bl_len = csd[5] & 0x0F;
    uint32_t c_size = (static_cast<uint32_t>(csd[6] & 0x03) << 10) |
                      (static_cast<uint32_t>(csd[7]) << 2) | (csd[8] >> 6);
    uint32_t c_size_mult = (static_cast<uint32_t>(csd[9] & 0x03) << 1) | (csd[10] >> 7);
    uint32_t shift = c_size_mult + 2 + read_bl_len;
    return shift >= 9 ? (c_size + 1) << (shift - 9) : (c_size + 1) >> (9 - shift);
}

bool fail() {
    deselect();
    g_type = SD_CARD_NONE;
    g_blocks = 0;
    return false;
}

} // namespace

bool sd_card_begin(uint8_t chip_select_pin, uint32_t spi_hz) {
    g_cs = chip_select_pin;
    g_type = SD_CARD_NONE;
    g_blocks = 0;
    g_in_multi_write = false;
    pinMode(g_cs, OUTPUT);
    digitalWrite(g_cs, HIGH);
    spi_init();
    for (int i = 0; i < 10; ++i) xfer(0xFF); // 80 clocks with the card deselected

    uint32_t start = millis();
    while (command(CMD0, 0) != R1_IDLE) {
        deselect();
        if (millis() - start > kInitTimeoutMs) return fail();
    }
    uint8_t type = SD_CARD_SD1;
    uint8_t r1 = command(CMD8, 0x1AA);
    if ((r1 & R1_ILLEGAL) == 0) {
        uint8_t r7[4];
        for (uint8_t& b : r7) b = xfer(0xFF);
        if ((r7[2] & 0x0F) != 0x01 || r7[3] != 0xAA) return fail(); // voltage or pattern
        type = SD_CARD_SD2;
    }
    deselect();

    uint32_t hcs = type == SD_CARD_SD2 ? 1u << 30 : 0;
    start = millis();
    while ((r1 = app_command(ACMD41, hcs)) != 0) {
        deselect();
        if ((r1 & 0x80) || millis() - start > kInitTimeoutMs) return fail();
    }
    deselect();
    if (type == SD_CARD_SD2) {
        if (command(CMD58, 0) != 0) return fail();
        uint8_t ocr[4];
        for (uint8_t& b : ocr) b = xfer(0xFF);
        if (ocr[0] & 0x40) type = SD_CARD_SDHC; // CCS
        deselect();
    }
    g_type = type;
    if (type != SD_CARD_SDHC) {
        if (command(CMD16, 512) != 0) return fail();
        deselect();
    }
    uint8_t csd[16];
    if (command(CMD9, 0) != 0 || !read_data(csd, sizeof csd)) return fail();
    deselect();
    g_blocks = blocks_from_csd(csd);

    uint8_t scr[8];
    if (app_command(ACMD51, 0) != 0 || !read_data(scr, sizeof scr)) return fail();
    deselect();
    g_erased_ones = (scr[1] & 0x80) != 0; // DATA_STAT_AFTER_ERASE

    spi_speed(spi_hz);
    return true;
}

uint8_t sd_card_type() { return g_type; }

uint32_t sd_card_block_count() { return g_blocks; }

bool sd_card_erased_reads_ones() { return g_erased_ones; }

bool sd_card_read(uint32_t block, uint8_t* dst512) {
    if (g_type == SD_CARD_NONE || block >= g_blocks) return false;
    bool ok = command(CMD17, address_of(block)) == 0 && read_data(dst512, 512);
    deselect();
    return ok;
}

bool sd_card_write(uint32_t block, const uint8_t* src512) {
    if (g_type == SD_CARD_NONE || block >= g_blocks) return false;
    bool ok = command(CMD24, address_of(block)) == 0 && write_data(TOKEN_DATA, src512) &&
              wait_ready(kWriteTimeoutMs);
    deselect();
    if (!ok) return false;
    // The card programs the block after the response; CMD13 reports a failed programming.
    uint8_t r1 = command(CMD13, 0);
    uint8_t r2 = xfer(0xFF);
    deselect();
    return r1 == 0 && r2 == 0;
}

bool sd_card_erase(uint32_t first_block, uint32_t last_block) {
    if (g_type == SD_CARD_NONE || first_block > last_block || last_block >= g_blocks) return false;
    bool ok = command(CMD32, address_of(first_block)) == 0;
    deselect();
    ok = ok && command(CMD33, address_of(last_block)) == 0;
    deselect();
    ok = ok && command(CMD38, 0) == 0 && wait_ready(kEraseTimeoutMs, true);
    deselect();
    return ok;
}

bool sd_card_write_start(uint32_t first_block, uint32_t count) {
    if (g_type == SD_CARD_NONE || count == 0 || first_block >= g_blocks ||
        count > g_blocks - first_block)
        return false;
    if (command(CMD25, address_of(first_block)) != 0) {
        deselect();
        return false;
    }
    g_in_multi_write = true; // the chip select stays low until the stop token
    return true;
}

bool sd_card_write_data(const uint8_t* src512) {
    if (!g_in_multi_write) return false;
    if (!wait_ready(kWriteTimeoutMs) || !write_data(TOKEN_MULTI, src512)) {
        g_in_multi_write = false;
        command(CMD12, 0); // abandon the transfer
        wait_ready(kWriteTimeoutMs);
        deselect();
        return false;
    }
    return true;
}

bool sd_card_write_stop() {
    if (!g_in_multi_write) return false;
    g_in_multi_write = false;
    bool ok = wait_ready(kWriteTimeoutMs);
    xfer(TOKEN_STOP);
    xfer(0xFF); // one byte before the busy signal starts
    ok = wait_ready(kWriteTimeoutMs) && ok;
    deselect();
    return ok;
}
