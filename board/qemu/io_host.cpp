// The replay harness's machine services on the development machine: C stdio files, reports
// on standard output, no instruction count.
#include <stdio.h>
#include <stdlib.h>

#include "replay.h"

namespace {
FILE* g_files[4] = {nullptr, nullptr, nullptr, nullptr};
}

int io_open(const char* path, bool for_writing) {
    for (int h = 0; h < 4; ++h) {
        if (!g_files[h]) {
            g_files[h] = fopen(path, for_writing ? "wb" : "rb");
            return g_files[h] ? h : -1;
        }
    }
    return -1;
}

int io_read(int handle, uint8_t* dst, int n) {
    size_t got = fread(dst, 1, static_cast<size_t>(n), g_files[handle]);
    return ferror(g_files[handle]) ? -1 : static_cast<int>(got);
}

bool io_write(int handle, const uint8_t* src, int n) {
    return fwrite(src, 1, static_cast<size_t>(n), g_files[handle]) == static_cast<size_t>(n);
}

void io_close(int handle) {
    if (handle < 0 || !g_files[handle]) return;
    if (fclose(g_files[handle]) != 0) io_report("cannot close an output file");
    g_files[handle] = nullptr;
}

void io_report(const char* text) {
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void io_counter_start() {}
uint64_t io_instructions() { return 0; }

void io_exit(int code) { exit(code); }

int main(int argc, char** argv) {
    replay_main(argc, argv);
    return 2;
}
