#pragma once

#include <sys/socket.h>

#include <cstddef>

// Keeps the producers' connections below the descriptor limit, for the whole process. The
// daemon routes every accept and close through here (src/app/interposed_calls.cpp): a
// connection taken is counted until it is closed, and past the cap a new one is closed at once.
// A spare descriptor lets an accept that meets the limit anyway take the connection off the
// backlog and close it. Either way the caller, ZeroMQ's listener, is told EAGAIN, which it
// handles, and never the limit, on which its ipc listener aborts the process.
class connection_admission {
public:
    using accept_call = int (*)(int listener, sockaddr* address, socklen_t* length, int flags);

    // Sets the cap from the descriptor limit and opens the spare; the first call counts, and
    // it comes before any listener exists.
    static void start(std::size_t descriptor_limit);
    // Accepts through `next` and decides; -1 with errno EAGAIN when the connection was refused.
    static int accept(accept_call next, int listener, sockaddr* address, socklen_t* length,
                      int flags);
    // Called before each close: a descriptor that was a counted connection no longer is.
    static void forget(int descriptor);
    // The most connections held at once; the rest of the limit is kept for the daemon's own
    // files and ZeroMQ's.
    static std::size_t cap(std::size_t descriptor_limit);
};
