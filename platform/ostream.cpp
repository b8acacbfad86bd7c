#include "ostream.h"

#include <string.h>

void OutStream::emit(const char* prefix, const char* body) {
    size_t len = strlen(prefix) + strlen(body);
    size_t pad = width_ > len ? width_ - len : 0;
    width_ = 0;
    if (flags_ & kInternal) {
        sink_.print(prefix);
        for (size_t i = 0; i < pad; ++i) sink_.write(static_cast<uint8_t>(fill_));
    } else {
        for (size_t i = 0; i < pad; ++i) sink_.write(static_cast<uint8_t>(fill_));
        sink_.print(prefix);
    }
    sink_.print(body);
}

OutStream& OutStream::operator<<(char c) {
    char body[2] = {c, 0};
    emit("", body);
    return *this;
}

OutStream& OutStream::operator<<(const char* text) {
    emit("", text ? text : "");
    return *this;
}

OutStream& OutStream::put_unsigned(uint32_t v) {
    char body[12];
    int i = 11;
    body[i] = 0;
    unsigned base = (flags_ & kHex) ? 16u : 10u;
    do {
        unsigned d = v % base;
        body[--i] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        v /= base;
    } while (v);
    emit((flags_ & kHex) && (flags_ & kShowBase) ? "0x" : "", body + i);
    return *this;
}

OutStream& OutStream::put_signed(int32_t v) {
    if (flags_ & kHex) return put_unsigned(static_cast<uint32_t>(v));
    if (v >= 0) return put_unsigned(static_cast<uint32_t>(v));
    uint8_t w = width_;
    char body[12];
    int i = 11;
    body[i] = 0;
    uint32_t m = 0u - static_cast<uint32_t>(v);
    do { body[--i] = static_cast<char>('0' + m % 10); m /= 10; } while (m);
    width_ = w;
    emit("-", body + i);
    return *this;
}

OutStream& OutStream::operator<<(double v) {
    char body[24];
    format_double(body, v < 0 ? -v : v, precision_);
    emit(v < 0 ? "-" : "", body);
    return *this;
}

OutStream& dec(OutStream& s) { s.unsetf(OutStream::kHex); return s; }
OutStream& hex(OutStream& s) { s.setf(OutStream::kHex); return s; }
OutStream& showbase(OutStream& s) { s.setf(OutStream::kShowBase); return s; }
OutStream& noshowbase(OutStream& s) { s.unsetf(OutStream::kShowBase); return s; }
OutStream& internal(OutStream& s) { s.setf(OutStream::kInternal); return s; }
OutStream& right(OutStream& s) { s.unsetf(OutStream::kInternal); return s; }
OutStream& endl(OutStream& s) { return s << "\r\n"; }
