// The C library's allocator with the firmware's share counted, for the boards whose heap is
// the chip's RAM: each block carries its size in front, and an allocation that would take
// the count past `limit` fails as if the RAM were full. Portable; board code only.
#pragma once
#include <stddef.h>
#include <stdlib.h>

struct CountedHeap {
    size_t limit;
    size_t used;
    size_t peak;

    void* reallocate(void* p, size_t n) {
        size_t old = p ? static_cast<size_t*>(p)[-1] : 0;
        if (n > old && n - old > limit - used) return nullptr;
        void* raw = realloc(p ? static_cast<size_t*>(p) - 1 : nullptr, n + sizeof(size_t));
        if (!raw) return nullptr;
        static_cast<size_t*>(raw)[0] = n;
        used = used - old + n;
        if (used > peak) peak = used;
        return static_cast<size_t*>(raw) + 1;
    }

    void release(void* p) {
        if (!p) return;
        used -= static_cast<size_t*>(p)[-1];
        free(static_cast<size_t*>(p) - 1);
    }
};
