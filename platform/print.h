// Text output shared by every byte sink of the board (serial ports, streams).
//
// Portable: the same formatting on the board and in the simulation. The number and
// double formats are the ones every console line of the firmware relies on.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : uint8_t { DEC = 10, HEX = 16, OCT = 8, BIN = 2 };

class Print {
public:
    virtual size_t write(uint8_t b) = 0;
    virtual size_t write(const uint8_t* data, size_t n);
    size_t write(const char* text);

    size_t print(const char* text);
    size_t print(char c);
    size_t print(unsigned char v, int base = DEC);
    size_t print(int v, int base = DEC);
    size_t print(unsigned int v, int base = DEC);
    size_t print(long v, int base = DEC);
    size_t print(unsigned long v, int base = DEC);
    size_t print(long long v, int base = DEC);
    size_t print(unsigned long long v, int base = DEC);
    size_t print(double v, int decimals = 2);

    size_t println();
    template <typename T> size_t println(T v) { size_t n = print(v); return n + println(); }
    template <typename T> size_t println(T v, int arg) { size_t n = print(v, arg); return n + println(); }

protected:
    // Not virtual and not public: no sink is ever deleted through a Print, and a trivial
    // destructor lets the global ports and streams register nothing to run at exit (on the
    // chip each would cost an atexit entry and pull in the exit machinery).
    ~Print() = default;

private:
    size_t print_unsigned(uint64_t v, int base);
};

// Formats into a caller's buffer: "nan", "inf", "ovf" or the rounded fixed-point value
// with `decimals` digits. Returns the length written (the buffer takes 24 characters).
size_t format_double(char* out, double v, int decimals);
