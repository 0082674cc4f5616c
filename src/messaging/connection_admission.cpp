#include "messaging/connection_admission.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
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
        restore_spare();
        const int fd = next(listener, address, length, flags);
        if (fd < 0) {
            // ZeroMQ's ipc listener aborts on any of these. Out of descriptors, both listeners
            // would be woken again at once for the connection still waiting, so it goes.
            const int error = errno;
            if (error == EMFILE || error == ENFILE) {
                drain(next, listener);
                if (!refusing.exchange(true)) {
                    spdlog::warn("Refusing producers: out of descriptors ({})",
                                 std::strerror(error));
                }
            }
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                errno = EAGAIN;
            }
            return -1;
        }
        io::unique_fd accepted(fd);
        std::size_t now = open.load();
        do {
            if (now >= (refusing.load() ? resume : cap) || static_cast<std::size_t>(fd) >= limit) {
                accepted.reset();
                refuse(now);
                errno = EAGAIN;
                return -1;
            }
        } while (!open.compare_exchange_weak(now, now + 1));
        // A descriptor closed behind this class's back (dup2, close_range) is still marked: the
        // mark stands for this connection, and the count must not take it twice.
        const auto [word, bit] = place(fd);
        if ((connections[word].fetch_or(bit) & bit) != 0) {
            open.fetch_sub(1);
        }
        if (refusing.exchange(false)) {
            spdlog::info("Serving producers again: {} connections open", now + 1);
        }
        return accepted.release();
    }

    int close(connection_admission::close_call next, int fd) {
        bool counted = false;
        if (fd >= 0 && static_cast<std::size_t>(fd) < limit) {
            const auto [word, bit] = place(fd);
            counted = (connections[word].fetch_and(~bit) & bit) != 0;
            if (counted) {
                open.fetch_sub(1);
            }
        }
        const int result = next(fd);
        if (counted) {
            restore_spare();
        }
        return result;
    }

private:
    static std::pair<std::size_t, std::uint64_t> place(int fd) {
        const auto number = static_cast<std::size_t>(fd);
        return {number / 64, std::uint64_t{1} << (number % 64)};
    }

    // Takes the waiting connection off the backlog with the spare descriptor, closes it and
    // takes the spare back. The listener may block (libzmq's ipc listener does), so it is
    // accepted from only when a connection is waiting. Should another thread take the freed
    // number first, the spare is missing until a descriptor is free again.
    void drain(connection_admission::accept_call next, int listener) {
        const std::lock_guard lock(spare_lock);
        spare.reset();
        pollfd waiting{.fd = listener, .events = POLLIN, .revents = 0};
        if (::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0) {
            // Closed as soon as taken: refusing it is the point.
            const io::unique_fd refused(next(listener, nullptr, nullptr, SOCK_CLOEXEC));
        }
        spare = open_spare();
        spare_missing.store(!spare);
    }

    // Never waits for the lock: its holder sees to the spare, and it may be this very thread,
    // closing a drained connection.
    void restore_spare() {
        if (spare_missing.load()) {
            const std::unique_lock lock(spare_lock, std::try_to_lock);
            if (lock) {
                if (!spare) {
                    spare = open_spare();
                }
                spare_missing.store(!spare);
            }
        }
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
    std::atomic<bool> spare_missing{!spare};
};

// Set once and never freed: a close made while the process exits still finds it.
constinit std::atomic<admission_state*> active{nullptr};

}  // namespace

void connection_admission::start(std::size_t descriptor_limit) {
    static auto* const state = new admission_state(descriptor_limit);
    active.store(state, std::memory_order_release);
}

int connection_admission::accept(accept_call next, int listener, sockaddr* address,
                                 socklen_t* length, int flags) {
    admission_state* const state = active.load(std::memory_order_acquire);
    return state != nullptr ? state->accept(next, listener, address, length, flags)
                            : next(listener, address, length, flags);
}

int connection_admission::close(close_call next, int descriptor) {
    admission_state* const state = active.load(std::memory_order_acquire);
    return state != nullptr ? state->close(next, descriptor) : next(descriptor);
}

std::size_t connection_admission::cap(std::size_t descriptor_limit) {
    const std::size_t reserve = std::clamp<std::size_t>(descriptor_limit / 8, 64, 1024);
    return descriptor_limit > reserve ? descriptor_limit - reserve : 1;
}
