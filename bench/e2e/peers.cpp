// Peers: one producer's records per second into the file, beside rsyslog fed one record per
// TCP send and 1,024 records per send, with `consumer.sync: true`, and against another build.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "e2e/e2e.hpp"
#include "io/unique_fd.hpp"
#include "producers.hpp"

namespace e2e {
namespace {

constexpr const char* rsyslogd = "/usr/sbin/rsyslogd";
constexpr std::size_t batch = 1024;

io::unique_fd tcp_socket(std::uint16_t port, bool listening) {
    io::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* where = reinterpret_cast<sockaddr*>(&address);
    const bool done = listening ? ::bind(fd.get(), where, sizeof address) == 0
                                : ::connect(fd.get(), where, sizeof address) == 0;
    return done ? std::move(fd) : io::unique_fd();
}

// A port nobody listens on now, found by letting the kernel pick one.
std::uint16_t free_port() {
    const io::unique_fd probe = tcp_socket(0, true);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// rsyslogd tuned for throughput after its documentation, on a private configuration in a
// folder of its own: its one input is a TCP port on loopback, bound to a ruleset with its own
// queue, whose one action writes each record's raw bytes and a newline to a file, a batch at a
// time. No syslog socket, system configuration or journal is touched.
class rsyslog {
public:
    rsyslog() : port(free_port()) {
        test::write_file(folder / "rsyslog.conf",
                         "global(workDirectory=\"" + folder.root.string() +
                             "\" maxMessageSize=\"64k\")\n"
                             "module(load=\"imptcp\")\n"
                             "template(name=\"record_line\" type=\"list\") {\n"
                             "    property(name=\"rawmsg\")\n"
                             "    constant(value=\"\\n\")\n"
                             "}\n"
                             "ruleset(name=\"records\" queue.type=\"LinkedList\" "
                             "queue.size=\"1000000\" queue.dequeueBatchSize=\"4096\") {\n"
                             "    action(type=\"omfile\" file=\"" +
                             log.string() +
                             "\" template=\"record_line\" ioBufferSize=\"1m\" "
                             "flushOnTXEnd=\"on\")\n"
                             "}\n"
                             "input(type=\"imptcp\" address=\"127.0.0.1\" port=\"" +
                             std::to_string(port) + "\" ruleset=\"records\")\n");
        server = std::make_unique<test::process>("exec " + std::string(rsyslogd) + " -n -f " +
                                                 (folder / "rsyslog.conf").string() + " -i " +
                                                 (folder / "rsyslogd.pid").string());
        wait_until([&] { return static_cast<bool>(tcp_socket(port, false)); }, *server,
                   "rsyslogd did not listen", 20s, 10ms);
    }
    rsyslog(const rsyslog&) = delete;
    rsyslog& operator=(const rsyslog&) = delete;
    ~rsyslog() {
        server->signal(SIGTERM);
        server->wait();
    }

    test::temp_dir folder;
    test::path log = folder / "records.log";
    std::uint16_t port;
    std::unique_ptr<test::process> server;
};

// A producer process that sends `count` records of `size` bytes, each ended by a newline,
// over one TCP connection, `per_send` records to a `send`.
void tcp_producer(std::uint16_t port, std::size_t size, std::size_t count, std::size_t per_send) {
    const io::unique_fd fd = tcp_socket(port, false);
    const timeval patience{60, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    std::string records;
    for (std::size_t i = 0; i < per_send; ++i) records += std::string(size, 'p') + '\n';
    for (std::size_t sent = 0; sent < count; sent += per_send) {
        const std::size_t bytes = std::min(per_send, count - sent) * (size + 1);
        for (std::size_t done = 0; done < bytes;) {
            const ssize_t n = ::send(fd.get(), records.data() + done, bytes - done, MSG_NOSIGNAL);
            if (n < 0) ::_exit(1);
            done += static_cast<std::size_t>(n);
        }
    }
}

double rsyslog_rate(std::size_t size, std::size_t total, std::size_t per_send) {
    rsyslog peer;
    settle();
    forked sender([&] { tcp_producer(peer.port, size, total, per_send); });
    const double rate = fill_rate(peer.log, 0, total * (size + 1), total, *peer.server);
    sender.wait(1min);
    return rate;
}

double daemon_rate(std::size_t size, std::size_t total, const std::string& consumer,
                   const std::string& binary) {
    auto daemon = start_daemon(consumer, binary);
    settle();
    double rate = 0;
    {
        bench::producers senders(daemon->endpoint(), 1, size, total);
        rate = fill_rate(daemon->output(), 0, total * (size + 1), total, daemon->running());
    }
    daemon->stop(SIGTERM);
    return rate;
}

double ratio(const std::vector<double>& ours, const std::vector<double>& theirs) {
    return theirs.empty() ? 0 : median(ours) / median(theirs);
}

}  // namespace

void peers(int rounds, const std::string& other_daemon) {
    const bool with_rsyslog = ::access(rsyslogd, X_OK) == 0;
    if (!with_rsyslog) std::printf("(no %s: apt-get install rsyslog)\n", rsyslogd);
    std::printf("%-6s %10s %10s %10s %10s %10s %9s %9s %9s\n", "record", "daemon", "sync: true",
                "other", "rsyslog 1", "rsyslog 1k", "/rsys 1", "/rsys 1k", "/other");
    for (std::size_t size : {64U, 512U, 4096U}) {
        const std::size_t total = size == 4096 ? 300000 : 2000000;
        std::vector<double> ours;
        std::vector<double> durable;
        std::vector<double> other;
        std::vector<double> single;
        std::vector<double> batched;
        for (int round = 0; round < rounds; ++round) {
            ours.push_back(daemon_rate(size, total, "", VELMOEVENTSD_PATH));
            if (size == 64) {
                durable.push_back(daemon_rate(size, total, ", sync: true", VELMOEVENTSD_PATH));
            }
            if (!other_daemon.empty()) other.push_back(daemon_rate(size, total, "", other_daemon));
            if (with_rsyslog) {
                single.push_back(rsyslog_rate(size, total, 1));
                batched.push_back(rsyslog_rate(size, total, batch));
            }
        }
        std::printf("%-6zu %10.0f %10.0f %10.0f %10.0f %10.0f %9.2f %9.2f %9.2f\n", size,
                    median(ours), median(durable), median(other), median(single), median(batched),
                    ratio(ours, single), ratio(ours, batched), ratio(ours, other));
        std::fflush(stdout);
    }
}

}  // namespace e2e
