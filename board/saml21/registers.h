// The SAML21 peripheral registers this board layer touches: base addresses, offsets and
// bit positions as given in the SAML21 family datasheet (register summaries of MCLK, GCLK,
// OSCCTRL, PM, NVMCTRL, PORT, SERCOM, TC and WDT; peripheral channel and interrupt tables;
// NVM software calibration area). Written by us; only what is used.
#pragma once

#include <stdint.h>

namespace saml21 {

inline volatile uint8_t& r8(uint32_t a) { return *reinterpret_cast<volatile uint8_t*>(a); }
inline volatile uint16_t& r16(uint32_t a) { return *reinterpret_cast<volatile uint16_t*>(a); }
inline volatile uint32_t& r32(uint32_t a) { return *reinterpret_cast<volatile uint32_t*>(a); }

// ---- power, clocks, flash
constexpr uint32_t PM = 0x40000000;
constexpr uint32_t PM_PLCFG = PM + 0x02, PM_INTFLAG = PM + 0x06; // PLSEL 1:0, PLRDY bit 0
constexpr uint32_t MCLK = 0x40000400;
constexpr uint32_t MCLK_CPUDIV = MCLK + 0x04; // 0x05 is LPDIV
constexpr uint32_t MCLK_APBAMASK = MCLK + 0x14, MCLK_APBCMASK = MCLK + 0x1C, MCLK_APBDMASK = MCLK + 0x20;
constexpr uint32_t OSCCTRL = 0x40000C00;
constexpr uint32_t OSCCTRL_STATUS = OSCCTRL + 0x0C;    // DFLLRDY bit 8
constexpr uint32_t OSCCTRL_DFLLCTRL = OSCCTRL + 0x18;  // 16-bit: ENABLE 1, MODE 2
constexpr uint32_t OSCCTRL_DFLLVAL = OSCCTRL + 0x1C;   // FINE 9:0, COARSE 15:10
constexpr uint32_t GCLK = 0x40001800;
constexpr uint32_t GCLK_SYNCBUSY = GCLK + 0x04;
inline uint32_t GCLK_GENCTRL(unsigned n) { return GCLK + 0x20 + 4 * n; } // SRC 4:0, GENEN 8, DIV 31:16
inline uint32_t GCLK_PCHCTRL(unsigned m) { return GCLK + 0x80 + 4 * m; } // GEN 3:0, CHEN 6
constexpr uint32_t GCLK_SRC_DFLL48M = 7; // 6 is OSC16M, the clock after reset
constexpr uint32_t NVMCTRL_CTRLB = 0x41004000 + 0x04;  // RWS 4:1
// NVM software calibration area: DFLL48M coarse value in bits 31:26 of its first word.
constexpr uint32_t NVM_SW_CALIB_WORD0 = 0x00806020;

// Peripheral channels of GCLK (PCHCTRL index).
inline unsigned PCH_SERCOM_SLOW(unsigned n) { return n < 5 ? 17 : 23; } // shared by SERCOM0..4
inline unsigned PCH_SERCOM_CORE(unsigned n) { return n < 5 ? 18 + n : 24; }
constexpr unsigned PCH_TC0_TC1 = 27;
// Bus clock masks of the units used.
inline uint32_t APBC_SERCOM(unsigned n) { return 1u << n; } // SERCOM0..4 on APBC
constexpr uint32_t APBD_SERCOM5 = 1u << 1;
constexpr uint32_t APBC_TC0 = 1u << 8;
constexpr uint32_t APBA_WDT = 1u << 7;
// Turns on the bus clock of SERCOM n (SERCOM5 sits on APBD, the others on APBC).
inline void sercom_bus_clock(unsigned n) {
    if (n < 5) r32(MCLK_APBCMASK) |= APBC_SERCOM(n);
    else r32(MCLK_APBDMASK) |= APBD_SERCOM5;
}

// ---- PORT (group stride 0x80)
constexpr uint32_t PORT = 0x40002800;
inline uint32_t PORT_G(unsigned g) { return PORT + 0x80 * g; }
constexpr uint32_t P_DIRCLR = 0x04, P_DIRSET = 0x08, P_OUTCLR = 0x14, P_OUTSET = 0x18, P_IN = 0x20;
constexpr uint32_t P_PMUX = 0x30, P_PINCFG = 0x40;
constexpr uint8_t PINCFG_PMUXEN = 1u << 0, PINCFG_INEN = 1u << 1, PINCFG_PULLEN = 1u << 2;

// ---- SERCOM
inline uint32_t SERCOM(unsigned n) { return n < 5 ? 0x42000000 + 0x400 * n : 0x43000400; }
constexpr uint32_t S_CTRLA = 0x00, S_CTRLB = 0x04, S_BAUD = 0x0C, S_INTENCLR = 0x14, S_INTENSET = 0x16;
constexpr uint32_t S_INTFLAG = 0x18, S_STATUS = 0x1A, S_SYNCBUSY = 0x1C, S_ADDR = 0x24, S_DATA = 0x28;
constexpr uint32_t CTRLA_SWRST = 1u << 0, CTRLA_ENABLE = 1u << 1;
constexpr uint32_t CTRLA_MODE_USART_INT = 1u << 2, CTRLA_MODE_SPI_MASTER = 3u << 2, CTRLA_MODE_I2C_MASTER = 5u << 2;
constexpr uint32_t CTRLA_DORD = 1u << 30;
// SPI: data out pinout 17:16, data in pad 21:20; CTRLB receiver enable as for the USART.
inline uint32_t SPI_DOPO(uint32_t v) { return v << 16; }
inline uint32_t SPI_DIPO(uint32_t v) { return v << 20; }
constexpr uint32_t CTRLB_TXEN = 1u << 16, CTRLB_RXEN = 1u << 17;
constexpr uint8_t INT_DRE = 1u << 0, INT_TXC = 1u << 1, INT_RXC = 1u << 2, INT_ERROR = 1u << 7;
constexpr uint8_t I2C_MB = 1u << 0, I2C_SB = 1u << 1;
constexpr uint16_t I2C_BUSERR = 1u << 0, I2C_ARBLOST = 1u << 1, I2C_RXNACK = 1u << 2;
constexpr uint32_t I2C_CMD_STOP = 3u << 16, I2C_CMD_READ = 2u << 16, I2C_ACKACT = 1u << 18;
constexpr uint32_t I2C_BUSSTATE_IDLE = 1u << 4;
inline unsigned IRQ_SERCOM(unsigned n) { return 8 + n; }

// ---- TC0 (16-bit mode)
constexpr uint32_t TC0 = 0x42002000;
constexpr uint32_t TC_CTRLA = 0x00, TC_CTRLBSET = 0x05, TC_INTENCLR = 0x08, TC_INTENSET = 0x09;
constexpr uint32_t TC_INTFLAG = 0x0A, TC_WAVE = 0x0C, TC_SYNCBUSY = 0x10, TC_COUNT = 0x14, TC_CC0 = 0x1C;
constexpr uint8_t TC_MC0 = 1u << 4, TC_WAVE_MFRQ = 1u;
constexpr uint8_t TC_CMD_RETRIGGER = 1u << 5;
constexpr unsigned IRQ_TC0 = 17;

// ---- WDT
constexpr uint32_t WDT = 0x40001C00;
constexpr uint32_t WDT_CTRLA = WDT + 0x00, WDT_CONFIG = WDT + 0x01, WDT_SYNCBUSY = WDT + 0x08, WDT_CLEAR = WDT + 0x0C;
constexpr uint8_t WDT_ENABLE = 1u << 1;

// ---- Cortex-M0+ core
constexpr uint32_t SYST_CSR = 0xE000E010, SYST_RVR = 0xE000E014, SYST_CVR = 0xE000E018;
constexpr uint32_t SCB_ICSR = 0xE000ED04; // PENDSTSET bit 26
constexpr uint32_t NVIC_ISER = 0xE000E100, NVIC_ICER = 0xE000E180, NVIC_IPR = 0xE000E400;
constexpr uint32_t SCB_AIRCR = 0xE000ED0C;

inline void irq_enable(unsigned n) { r32(NVIC_ISER) = 1u << n; }
inline void irq_disable(unsigned n) { r32(NVIC_ICER) = 1u << n; }
inline uint32_t irq_save() {
    uint32_t primask;
    __asm volatile("mrs %0, primask\n cpsid i" : "=r"(primask)::"memory");
    return primask;
}
inline void irq_restore(uint32_t primask) { __asm volatile("msr primask, %0" ::"r"(primask) : "memory"); }
inline bool in_interrupt() {
    uint32_t ipsr;
    __asm volatile("mrs %0, ipsr" : "=r"(ipsr));
    return ipsr != 0;
}

} // namespace saml21
