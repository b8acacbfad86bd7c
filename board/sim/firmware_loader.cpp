#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "board/sim/board.h"

namespace sim {

LoadableFirmware::LoadableFirmware(std::string path) : path_(std::move(path)) {
    std::ifstream probe(path_, std::ios::binary);
    if (!probe) throw std::runtime_error(path_ + ": firmware image not found (build the ondavix_fw_image target)");
}

LoadableFirmware::~LoadableFirmware() { shutdown(); }

FirmwareEntry LoadableFirmware::boot() {
    shutdown();
    // A private in-memory copy per boot: the loader sees a new file every time and maps a
    // fresh data segment, so every global starts from its static initial value.
    std::ifstream in(path_, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string image = bytes.str();
    fd_ = memfd_create("ondavix-fw", MFD_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("memfd_create failed for the firmware image");
    size_t off = 0;
    while (off < image.size()) {
        ssize_t n = ::write(fd_, image.data() + off, image.size() - off);
        if (n <= 0) throw std::runtime_error("could not copy the firmware image " + path_);
        off += static_cast<size_t>(n);
    }
    char fdpath[64];
    std::snprintf(fdpath, sizeof fdpath, "/proc/self/fd/%d", fd_);
    handle_ = dlopen(fdpath, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw std::runtime_error(std::string("cannot load firmware image: ") + dlerror());
    FirmwareEntry e;
    e.setup = reinterpret_cast<void (*)()>(dlsym(handle_, "_Z5setupv"));
    e.loop = reinterpret_cast<void (*)()>(dlsym(handle_, "_Z4loopv"));
    e.timer_isr = reinterpret_cast<void (*)()>(dlsym(handle_, "TC0_Handler"));
    if (!e.setup || !e.loop || !e.timer_isr)
        throw std::runtime_error(path_ + ": firmware image lacks setup(), loop() or TC0_Handler()");
    return e;
}

void LoadableFirmware::shutdown() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void* LoadableFirmware::symbol(const char* name) { return handle_ ? dlsym(handle_, name) : nullptr; }

} // namespace sim
