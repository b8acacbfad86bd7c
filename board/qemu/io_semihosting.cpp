// The replay harness's machine services on QEMU's micro:bit machine (Cortex-M0): files and
// reports over ARM semihosting (BKPT 0xAB), the instruction count from SysTick.
//
// Instruction count: QEMU runs with -icount shift=0, one instruction per nanosecond of
// virtual time, and SysTick counts the virtual processor clock. How many instructions one
// SysTick count stands for is measured at start on a loop of known length (two
// instructions per turn), not taken from the machine's nominal clock.
#include <stdint.h>
#include <string.h>

#include "replay.h"

namespace {

enum : uint32_t {
    SYS_OPEN = 0x01, SYS_CLOSE = 0x02, SYS_WRITE0 = 0x04, SYS_WRITE = 0x05, SYS_READ = 0x06,
    SYS_GET_CMDLINE = 0x15, SYS_EXIT = 0x18
};
constexpr uint32_t ADP_Stopped_ApplicationExit = 0x20026;
constexpr uint32_t ADP_Stopped_RunTimeErrorUnknown = 0x20023;

uint32_t semihost(uint32_t op, const void* arg) {
    register uint32_t r0 __asm("r0") = op;
    register const void* r1 __asm("r1") = arg;
    __asm volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

// ---- SysTick, 24 bits counting down
volatile uint32_t& reg(uint32_t a) { return *reinterpret_cast<volatile uint32_t*>(a); }
constexpr uint32_t SYST_CSR = 0xE000E010, SYST_RVR = 0xE000E014, SYST_CVR = 0xE000E018;
uint32_t g_last_count = 0;
uint64_t g_counts = 0;             // SysTick counts since the start
uint32_t g_insn_per_count_x1000 = 0;

void counter_update() {
    uint32_t now = reg(SYST_CVR) & 0xFFFFFF;
    g_counts += (g_last_count - now) & 0xFFFFFF;
    g_last_count = now;
}

char g_cmdline[128];
const char* g_argv[8];

// ---- stack depth: the stack's reserve (microbit.ld) is filled with a pattern at start,
// and the deepest word that lost it is found at the end.
extern "C" uint32_t __heap_end, __stack_top;
constexpr uint32_t kPaint = 0x5AC3A55Au;

void stack_paint() {
    uint32_t sp;
    __asm volatile("mov %0, sp" : "=r"(sp));
    for (uint32_t* p = &__heap_end; reinterpret_cast<uint32_t>(p) + 64 < sp; ++p) *p = kPaint;
}

uint32_t stack_used() {
    const uint32_t* p = &__heap_end;
    while (p < &__stack_top && *p == kPaint) ++p;
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&__stack_top) - reinterpret_cast<uintptr_t>(p));
}

void report_number(const char* before, uint32_t v, const char* after) {
    char line[80];
    char digits[12];
    int n = 0;
    do { digits[n++] = static_cast<char>('0' + v % 10); v /= 10; } while (v != 0);
    strcpy(line, before);
    size_t len = strlen(line);
    while (n > 0) line[len++] = digits[--n];
    line[len] = 0;
    strcat(line, after);
    io_report(line);
}

} // namespace

int io_open(const char* path, bool for_writing) {
    uint32_t block[3] = {reinterpret_cast<uint32_t>(path), for_writing ? 5u : 1u, // "wb" / "rb"
                         static_cast<uint32_t>(strlen(path))};
    return static_cast<int>(semihost(SYS_OPEN, block));
}

int io_read(int handle, uint8_t* dst, int n) {
    uint32_t block[3] = {static_cast<uint32_t>(handle), reinterpret_cast<uint32_t>(dst), static_cast<uint32_t>(n)};
    uint32_t left = semihost(SYS_READ, block); // bytes not read
    return left > static_cast<uint32_t>(n) ? -1 : n - static_cast<int>(left);
}

bool io_write(int handle, const uint8_t* src, int n) {
    uint32_t block[3] = {static_cast<uint32_t>(handle), reinterpret_cast<uint32_t>(src), static_cast<uint32_t>(n)};
    return semihost(SYS_WRITE, block) == 0;
}

void io_close(int handle) {
    uint32_t block[1] = {static_cast<uint32_t>(handle)};
    semihost(SYS_CLOSE, block);
}

void io_report(const char* text) {
    semihost(SYS_WRITE0, text);
    semihost(SYS_WRITE0, "\n");
}

void io_counter_start() {
    reg(SYST_RVR) = 0xFFFFFF;
    reg(SYST_CVR) = 0;
    reg(SYST_CSR) = 5; // processor clock, no interrupt, enabled
    // Calibration: 2 x 1,000,000 instructions.
    uint32_t before = reg(SYST_CVR) & 0xFFFFFF;
    uint32_t turns = 1000000;
    __asm volatile("1: sub %0, #1\n bne 1b" : "+l"(turns) : : "cc");
    uint32_t after = reg(SYST_CVR) & 0xFFFFFF;
    uint32_t counts = (before - after) & 0xFFFFFF;
    g_insn_per_count_x1000 = counts ? static_cast<uint32_t>(2000000ull * 1000 / counts) : 0;
    counter_update();
    g_counts = 0;
    report_number("calibration: 2000000 instructions = ", counts, " SysTick counts");
}

uint64_t io_instructions() {
    counter_update();
    return g_counts * g_insn_per_count_x1000 / 1000;
}

// The firmware's handling of one received sensor block (framing, CRC, decoding, the wave
// analysis and the records), counted apart: the link wraps the firmware's call to it
// (-Wl,--wrap in CMakeLists.txt), so the firmware itself is unchanged.
uint64_t g_block_counts = 0;     // SysTick counts inside it (converted at the end)
uint32_t g_blocks = 0;

extern "C" void __real__Z26procesamos_trama_rx_sensorv();
extern "C" void __wrap__Z26procesamos_trama_rx_sensorv() {
    counter_update();
    uint64_t before = g_counts;
    __real__Z26procesamos_trama_rx_sensorv();
    counter_update();
    g_block_counts += g_counts - before;
    ++g_blocks;
}

void io_exit(int code) {
    report_number("stack: ", stack_used(), " bytes of the reserve used");
    report_number("sensor blocks handled: ", g_blocks, "");
    report_number("instructions in them: ", static_cast<uint32_t>(g_block_counts * g_insn_per_count_x1000 / 1000), "");
    semihost(SYS_EXIT, reinterpret_cast<const void*>(code == 0 ? ADP_Stopped_ApplicationExit
                                                               : ADP_Stopped_RunTimeErrorUnknown));
    for (;;) {}
}

// ---- start-up (crt0.cpp calls these)
extern "C" void board_early_init() {}

extern "C" [[noreturn]] void board_main() {
    uint32_t block[2] = {reinterpret_cast<uint32_t>(g_cmdline), sizeof g_cmdline};
    int argc = 0;
    if (semihost(SYS_GET_CMDLINE, block) == 0) {
        char* p = g_cmdline;
        while (*p && argc < 8) {
            while (*p == ' ') *p++ = 0;
            if (!*p) break;
            g_argv[argc++] = p;
            while (*p && *p != ' ') ++p;
        }
    }
    stack_paint();
    replay_main(argc, g_argv);
    io_exit(2);
}
