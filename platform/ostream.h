// A small formatted output stream over a Print sink, with the manipulators the firmware
// uses (dec, hex, showbase, noshowbase, internal, right, setw, setfill, setprecision).
// Portable. The default format is that of a standard stream: decimal, width 0, fill ' ',
// precision 6 fixed decimals for doubles.
#pragma once

#include <stdint.h>

#include "print.h"

class OutStream {
public:
    enum Flags : uint8_t { kHex = 1, kShowBase = 2, kInternal = 4 };
    explicit OutStream(Print& sink) : sink_(sink) {}

    OutStream& operator<<(char c);
    OutStream& operator<<(const char* text);
    // Integers are 32-bit values on the target, whichever C type carries them.
    OutStream& operator<<(int v) { return put_signed(static_cast<int32_t>(v)); }
    OutStream& operator<<(unsigned v) { return put_unsigned(static_cast<uint32_t>(v)); }
    OutStream& operator<<(long v) { return put_signed(static_cast<int32_t>(v)); }
    OutStream& operator<<(unsigned long v) { return put_unsigned(static_cast<uint32_t>(v)); }
    OutStream& operator<<(short v) { return put_signed(v); }
    OutStream& operator<<(unsigned short v) { return put_unsigned(v); }
    OutStream& operator<<(double v);
    OutStream& operator<<(OutStream& (*manip)(OutStream&)) { return manip(*this); }

    void setf(uint8_t f) { flags_ |= f; }
    void unsetf(uint8_t f) { flags_ &= static_cast<uint8_t>(~f); }
    void width(uint8_t w) { width_ = w; }
    void fill(char c) { fill_ = c; }
    void precision(uint8_t p) { precision_ = p; }

private:
    OutStream& put_signed(int32_t v);
    OutStream& put_unsigned(uint32_t v);
    // Writes prefix (sign or base) and body padded to the field width, then the width
    // returns to 0 as it does on a standard stream.
    void emit(const char* prefix, const char* body);

    Print& sink_;
    uint8_t flags_ = 0;
    uint8_t width_ = 0;
    char fill_ = ' ';
    uint8_t precision_ = 6;
};

OutStream& dec(OutStream& s);
OutStream& hex(OutStream& s);
OutStream& showbase(OutStream& s);
OutStream& noshowbase(OutStream& s);
OutStream& internal(OutStream& s);
OutStream& right(OutStream& s);
OutStream& endl(OutStream& s); // CR LF

struct SetW { uint8_t n; };
struct SetFill { char c; };
struct SetPrecision { uint8_t n; };
inline SetW setw(uint8_t n) { return {n}; }
inline SetFill setfill(char c) { return {c}; }
inline SetPrecision setprecision(uint8_t n) { return {n}; }
inline OutStream& operator<<(OutStream& s, SetW m) { s.width(m.n); return s; }
inline OutStream& operator<<(OutStream& s, SetFill m) { s.fill(m.c); return s; }
inline OutStream& operator<<(OutStream& s, SetPrecision m) { s.precision(m.n); return s; }

extern OutStream cout;    // console port
extern OutStream coutKVX; // host port
