#include "messaging/connection_admission.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "io/unique_fd.hpp"

namespace {

// Descriptor numbers tracked at most, whatever the limit: a bit each, 512 KiB.
constexpr std::size_t max_tracked = std::size_t{1} << 22;

io::unique_fd open_spare() { return io::unique_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

class admission_state {
public:
    explicit admission_state(std::size_t descriptor_limit)
        : limit(std::min(descriptor_limit, max_tracked)),
          cap(connection_admission::cap(limit)),
          // Once refusing, producers are served again only below this, so that a crowd at the
          // cap does not turn the refusal on and off with every connection.
          resume(cap - cap / 16),
          connections((limit + 63) / 64),
          spare(open_spare()) {}

    int accept(connection_admission::accept_call next, int listener, sockaddr* address,
               socklen_t* length, int flags) {
        const int fd = next(listener, address, length, flags);
        if (fd < 0) {
            // ZeroMQ's ipc listener aborts on any of these, and both listeners would be woken
            // again at once for the connection still waiting.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                drain(next, listener);
                refuse(open.load());
                errno = EAGAIN;
            }
            return -1;
        }
        std::size_t now = open.load();
        do {
            if (now >= (refusing.load() ? resume : cap) || static_cast<std::size_t>(fd) >= limit) {
                ::close(fd);
                refuse(now);
                errno = EAGAIN;
                return -1;
            }
        } while (!open.compare_exchange_weak(now, now + 1));
        const auto [word, bit] = place(fd);
        connections[word].fetch_or(bit);
        if (refusing.exchange(false)) {
            spdlog::info("Serving producers again: {} connections open", now + 1);
        }
        return fd;
    }

    void forget(int fd) {
        if (fd < 0 || static_cast<std::size_t>(fd) >= limit) {
            return;
        }
        const auto [word, bit] = place(fd);
        if ((connections[word].fetch_and(~bit) & bit) != 0) {
            open.fetch_sub(1);
        }
    }

private:
    static std::pair<std::size_t, std::uint64_t> place(int fd) {
        const auto number = static_cast<std::size_t>(fd);
        return {number / 64, std::uint64_t{1} << (number % 64)};
    }

    // Takes the waiting connection off the backlog with the spare descriptor, closes it and
    // takes the spare back. Should another thread take the freed number first, the spare is
    // gone until a later refusal finds a descriptor free again.
    void drain(connection_admission::accept_call next, int listener) {
        std::lock_guard lock(spare_lock);
        spare.reset();
        const int fd = next(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
        }
        spare = open_spare();
    }

    void refuse(std::size_t now) {
        if (!refusing.exchange(true)) {
            spdlog::warn(
                "Refusing producers: {} connections open, the most the descriptor limit of {} "
                "allows",
                now, limit);
        }
    }

    const std::size_t limit;
    const std::size_t cap;
    const std::size_t resume;
    // One bit per descriptor number, set while that descriptor is a counted connection.
    std::vector<std::atomic<std::uint64_t>> connections;
    std::atomic<std::size_t> open{0};
    std::atomic<bool> refusing{false};
    std::mutex spare_lock;
    io::unique_fd spare;
};

// Set once and never freed: a close made while the process exits still finds it.
constinit std::atomic<admission_state*> active{nullptr};

}  // namespace

void connection_admission::start(std::size_t descriptor_limit) {
    static admission_state* const state = new admission_state(descriptor_limit);
    active.store(state, std::memory_order_release);
}

int connection_admission::accept(accept_call next, int listener, sockaddr* address,
                                 socklen_t* length, int flags) {
    admission_state* const state = active.load(std::memory_order_acquire);
    return state != nullptr ? state->accept(next, listener, address, length, flags)
                            : next(listener, address, length, flags);
}

void connection_admission::forget(int descriptor) {
    if (admission_state* const state = active.load(std::memory_order_acquire)) {
        state->forget(descriptor);
    }
}

std::size_t connection_admission::cap(std::size_t descriptor_limit) {
    const std::size_t reserve = std::clamp<std::size_t>(descriptor_limit / 8, 64, 1024);
    return descriptor_limit > reserve ? descriptor_limit - reserve : 1;
}
