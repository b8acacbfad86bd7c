#include "sim/pty_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// Bytes of the firmware kept for the terminal while it is full: beyond, the oldest go.
constexpr size_t kPending = 64 * 1024;

speed_t speed_of(uint32_t baud) {
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
    }
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("--pty: ") + what + " (" + std::strerror(errno) + ")");
}

} // namespace

PtyPort::PtyPort(UartDevice* inner, uint32_t baud) : inner_(inner) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) fail("cannot open a pseudo-terminal");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        close(master_);
        fail("cannot unlock the pseudo-terminal");
    }
    const char* name = ptsname(master_);
    if (!name) {
        close(master_);
        fail("the pseudo-terminal has no name");
    }
    path_ = name;
    terminal_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal_ < 0) {
        close(master_);
        fail("cannot open the pseudo-terminal's terminal side");
    }
    // Raw bytes both ways: no echo, no line editing, no CR/LF translation.
    struct termios t {};
    if (tcgetattr(terminal_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, speed_of(baud));
        cfsetospeed(&t, speed_of(baud));
        tcsetattr(terminal_, TCSANOW, &t);
    }
}

PtyPort::~PtyPort() {
    if (terminal_ >= 0) close(terminal_);
    if (master_ >= 0) close(master_);
}

void PtyPort::on_byte(uint8_t b) {
    if (inner_) inner_->on_byte(b);
    out_.push_back(b);
    if (out_.size() > 2 * kPending) out_.erase(out_.begin(), out_.end() - kPending);
}

void PtyPort::flush() {
    size_t done = 0;
    bool emptied = false;
    while (done < out_.size()) {
        ssize_t n = write(master_, out_.data() + done, out_.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // Full: nobody reads. What waits there is given up for the newer bytes, once.
        if (emptied) break;
        tcflush(terminal_, TCIFLUSH);
        emptied = true;
    }
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
    if (out_.size() > kPending) out_.erase(out_.begin(), out_.end() - kPending);
}

std::string PtyPort::read_typed() {
    std::string typed;
    char buf[512];
    for (;;) {
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) typed.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
    return typed;
}

} // namespace sim
