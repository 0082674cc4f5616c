// The calls through which ZeroMQ's listeners take and end connections, defined in the daemon
// and exported (interposed_calls.list), so that libzmq's calls come here before the C
// library's: connection_admission counts every connection and refuses those past its cap.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include "messaging/connection_admission.hpp"

namespace {

// The definition the C library (or a sanitizer's runtime) gives, behind this one.
template <typename Function>
Function* next_definition(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

int next_accept4(int listener, sockaddr* address, socklen_t* length, int flags) {
    static auto* const next = next_definition<decltype(::accept4)>("accept4");
    return next(listener, address, length, flags);
}

}  // namespace

extern "C" {

int accept4(int listener, sockaddr* address, socklen_t* length, int flags) {
    return connection_admission::accept(next_accept4, listener, address, length, flags);
}

int accept(int listener, sockaddr* address, socklen_t* length) {
    return connection_admission::accept(next_accept4, listener, address, length, 0);
}

int close(int descriptor) {
    static auto* const next = next_definition<decltype(::close)>("close");
    connection_admission::forget(descriptor);
    return next(descriptor);
}
}
