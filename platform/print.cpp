#include "print.h"

#include <math.h>
#include <string.h>

size_t Print::write(const uint8_t* data, size_t n) {
    size_t done = 0;
    for (size_t i = 0; i < n; ++i) done += write(data[i]);
    return done;
}

size_t Print::write(const char* text) {
    return text ? write(reinterpret_cast<const uint8_t*>(text), strlen(text)) : 0;
}

size_t Print::print(const char* text) { return write(text); }
size_t Print::print(char c) { return write(static_cast<uint8_t>(c)); }
size_t Print::print(unsigned char v, int base) { return print_unsigned(v, base); }
size_t Print::print(unsigned int v, int base) { return print_unsigned(v, base); }
size_t Print::print(unsigned long v, int base) { return print_unsigned(v, base); }
size_t Print::print(unsigned long long v, int base) { return print_unsigned(v, base); }
size_t Print::print(int v, int base) { return print(static_cast<long long>(v), base); }
size_t Print::print(long v, int base) { return print(static_cast<long long>(v), base); }

size_t Print::print(long long v, int base) {
    if (base == DEC && v < 0) {
        size_t n = write('-');
        return n + print_unsigned(0ULL - static_cast<uint64_t>(v), base);
    }
    // Other bases print the two's complement bits of the 32-bit value, as the board does.
    if (base != DEC && v < 0) return print_unsigned(static_cast<uint32_t>(v), base);
    return print_unsigned(static_cast<uint64_t>(v), base);
}

size_t Print::print_unsigned(uint64_t v, int base) {
    if (base < 2) base = DEC;
    const unsigned ubase = static_cast<unsigned>(base);
    char digits[65];
    int i = 64;
    digits[i] = 0;
    // 64-bit division is a library call of hundreds of cycles on the Cortex-M0+: only the
    // high digits of a value past 32 bits take it, the rest go through 32-bit division.
    while (v > 0xFFFFFFFFull) {
        unsigned d = static_cast<unsigned>(v % ubase);
        digits[--i] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        v /= ubase;
    }
    uint32_t w = static_cast<uint32_t>(v);
    do {
        unsigned d = w % ubase;
        digits[--i] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        w /= ubase;
    } while (w != 0);
    return write(digits + i);
}

size_t Print::print(double v, int decimals) {
    char text[24];
    size_t n = format_double(text, v, decimals);
    return write(reinterpret_cast<const uint8_t*>(text), n);
}

size_t Print::println() { return write("\r\n"); }

size_t format_double(char* out, double v, int decimals) {
    if (isnan(v)) { memcpy(out, "nan", 4); return 3; }
    if (isinf(v)) { memcpy(out, "inf", 4); return 3; }
    if (v > 4294967040.0 || v < -4294967040.0) { memcpy(out, "ovf", 4); return 3; }
    if (decimals < 0) decimals = 0;
    if (decimals > 12) decimals = 12;
    size_t n = 0;
    if (v < 0.0) { out[n++] = '-'; v = -v; }
    double rounding = 0.5;
    for (int i = 0; i < decimals; ++i) rounding /= 10.0;
    v += rounding;
    // The integer part is taken in 32 bits as on the board; rounding can lift a value just
    // under the limit past 2^32 - 1, where the board would wrap: saturate instead.
    uint32_t whole = v >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(v);
    double rest = v - static_cast<double>(whole);
    char digits[11];
    int i = 10;
    digits[i] = 0;
    do { digits[--i] = static_cast<char>('0' + whole % 10); whole /= 10; } while (whole);
    for (; digits[i]; ++i) out[n++] = digits[i];
    if (decimals > 0) out[n++] = '.';
    for (int d = 0; d < decimals; ++d) {
        rest *= 10.0;
        int digit = static_cast<int>(rest);
        if (digit > 9) digit = 9;
        out[n++] = static_cast<char>('0' + digit);
        rest -= digit;
    }
    out[n] = 0;
    return n;
}
