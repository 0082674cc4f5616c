#pragma once

#include <unistd.h>

#include <utility>

namespace io {

// Owns one open descriptor, closed by the destructor. Move-only, so a descriptor has exactly
// one owner at a time. `close` is never retried: on Linux the descriptor is released even
// when close reports EINTR, and a retry could close one another thread has just opened.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int descriptor) : fd(descriptor) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    int release() { return std::exchange(fd, -1); }
    void reset(int descriptor = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = descriptor;
    }

private:
    int fd = -1;
};

}  // namespace io
