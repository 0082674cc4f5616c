// End to end: the real daemon on a configuration of its own, producer processes pushing
// records, the event log on disk. Prints per case the records per second and MB/s into the
// file, the ratio to bare loops of the same appends on the same file, the daemon's peak
// resident memory and the latency percentiles at half the measured peak rate, once with the
// producers at the daemon's priority and once with them at nice 10; then a burst and a flood.
#include <arpa/inet.h>
#include <linux/fs.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "bench_util.hpp"
#include "producers.hpp"

namespace {

std::uint64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000U +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t log_size(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// The daemon binary as a child, on a configuration in the scratch folder.
class daemon_process {
public:
    daemon_process(const std::filesystem::path& dir, const std::string& name,
                   const std::string& consumer_settings = "",
                   const char* binary = VELMOEVENTSD_PATH, const std::string& sections = "")
        : endpoint("ipc://" + (dir / (name + ".sock")).string()), log(dir / (name + ".log")) {
        const auto config = dir / (name + ".yaml");
        std::ofstream(config) << sections << "log_level: warn\nqueue: {endpoint: '" << endpoint
                              << "'}\nconsumer: {output_file: '" << log.string() << "'"
                              << consumer_settings << "}\n";
        pid = ::fork();
        if (pid == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::execl(binary, binary, "--config", config.c_str(), nullptr);
            ::_exit(127);
        }
        while (!std::filesystem::exists(log)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~daemon_process() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    double peak_mib() const { return bench::peak_rss_mib(pid); }

    std::string endpoint;
    std::filesystem::path log;
    pid_t pid;
};

// Appends `count` records of `size` bytes to the file with one or two calls per record.
double bare_appends(const std::filesystem::path& path, std::size_t size, std::size_t count,
                    bool two_writes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const std::string record(size, 'b');
    char newline = '\n';
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        if (two_writes) {
            if (::write(fd, record.data(), record.size()) < 0 || ::write(fd, &newline, 1) < 0) {
                std::exit(1);
            }
        } else {
            iovec parts[2] = {{const_cast<char*>(record.data()), record.size()}, {&newline, 1}};
            if (::writev(fd, parts, 2) < 0) {
                std::exit(1);
            }
        }
    }
    const double rate = static_cast<double>(count) / bench::seconds_since(start);
    ::close(fd);
    return rate;
}

// Sends records stamped with their send time at a fixed rate, for a time. It sleeps between
// short bursts rather than spinning, so it leaves the processors to the daemon.
void paced_producer(const std::string& endpoint, std::size_t size, double rate, double seconds) {
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::push);
    socket.set(zmq::sockopt::linger, -1);
    socket.connect(endpoint);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double interval = 1e9 / rate;
    const std::uint64_t start = monotonic_ns();
    const std::uint64_t end = start + static_cast<std::uint64_t>(seconds * 1e9);
    std::string record(std::max<std::size_t>(size, 24), 'l');
    std::uint64_t sent = 0;
    for (std::uint64_t now = start; now < end; now = monotonic_ns()) {
        const auto due = static_cast<std::uint64_t>(static_cast<double>(now - start) / interval);
        for (; sent < due; ++sent) {
            std::snprintf(record.data(), 21, "%020" PRIu64, monotonic_ns());
            record[20] = ' ';
            socket.send(zmq::buffer(record), zmq::send_flags::none);
        }
        const timespec pause{0, 50000};
        ::nanosleep(&pause, nullptr);
    }
}

// Writes back what the earlier phases left dirty in the page cache, so that no phase is
// measured while the kernel writes back another's gigabyte.
void settle() { ::sync(); }

struct latencies {
    double p50, p99, p999;
};

// Follows the log from its current end and measures, for each stamped record, the time from
// its sending to its appearance in the file. It polls the file every 100 us instead of
// watching it with inotify: a watch makes every append of the daemon queue an event and wake
// this reader, which costs the daemon more than the record's own write. The polling adds at
// most one period to each figure, so the percentiles err high, never low. The producers run
// at `producer_nice`: on a machine this small they compete with the daemon for the same two
// processors, and a positive value shows the latency of a daemon that is ahead of its load.
latencies measure_latency(const daemon_process& daemon, int processes, std::size_t size,
                          double total_rate, double seconds, int producer_nice = 0) {
    // Records of an earlier measurement still on their way would count with stale stamps.
    for (std::uint64_t length = log_size(daemon.log), previous = length + 1; length != previous;
         length = log_size(daemon.log)) {
        previous = length;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int fd = ::open(daemon.log.c_str(), O_RDONLY | O_CLOEXEC);
    ::lseek(fd, 0, SEEK_END);
    std::vector<pid_t> senders;
    for (int p = 0; p < processes; ++p) {
        pid_t child = ::fork();
        if (child == 0) {
            if (::setpriority(PRIO_PROCESS, 0, producer_nice) != 0) {
                ::_exit(1);
            }
            paced_producer(daemon.endpoint, size, total_rate / processes, seconds);
            ::_exit(0);
        }
        senders.push_back(child);
    }
    ::prctl(PR_SET_TIMERSLACK, 1000UL);
    std::vector<std::uint64_t> samples;
    samples.reserve(static_cast<std::size_t>(total_rate * seconds) + 1);
    std::vector<char> buffer(1 << 20);
    std::size_t held = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds + 3);
    const std::size_t expected = static_cast<std::size_t>(total_rate * seconds * 0.98);
    while (samples.size() < expected && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::read(fd, buffer.data() + held, buffer.size() - held);
        const std::uint64_t now = monotonic_ns();
        if (n <= 0) {
            const timespec pause{0, 100000};
            ::nanosleep(&pause, nullptr);
            continue;
        }
        const char* const end = buffer.data() + held + n;
        const char* line = buffer.data();
        for (auto* newline = static_cast<const char*>(std::memchr(line, '\n', end - line));
             newline != nullptr;
             newline = static_cast<const char*>(std::memchr(line, '\n', end - line))) {
            std::uint64_t sent = 0;
            std::from_chars(line, line + 20, sent);
            samples.push_back(now - sent);
            line = newline + 1;
        }
        held = static_cast<std::size_t>(end - line);
        std::memmove(buffer.data(), line, held);
    }
    for (pid_t child : senders) {
        ::waitpid(child, nullptr, 0);
    }
    ::close(fd);
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples.empty()
                   ? 0.0
                   : static_cast<double>(samples[std::min(
                         samples.size() - 1,
                         static_cast<std::size_t>(q * static_cast<double>(samples.size())))]) /
                         1000.0;
    };
    return {at(0.50), at(0.99), at(0.999)};
}

// A producer that sends a burst and exits at once, with a bounded linger, while a flood keeps
// the daemon behind: how many of the burst reach the file.
std::uint64_t burst_then_exit(const std::filesystem::path& dir, std::size_t burst) {
    daemon_process daemon(dir, "burst");
    bench::producers flood(daemon.endpoint, 1, 64, 0, 6.0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pid_t child = ::fork();
    if (child == 0) {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::push);
        socket.set(zmq::sockopt::linger, 5000);
        socket.connect(daemon.endpoint);
        for (std::size_t i = 0; i < burst; ++i) {
            const std::string record = "burst " + std::to_string(i);
            socket.send(zmq::buffer(record), zmq::send_flags::none);
        }
        socket.close();
        context.close();
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    const std::uint64_t flooded = flood.sent();
    // The flood's producer is still connected, so all it sent arrives; wait for that, then
    // for the file to stop growing.
    std::uint64_t previous = 0;
    std::uint64_t burst_lines = 0;
    int unchanged = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (unchanged < 10 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream log(daemon.log);
        std::uint64_t count = 0;
        burst_lines = 0;
        for (std::string line; std::getline(log, line); ++count) {
            burst_lines += line.rfind("burst ", 0) == 0 ? 1 : 0;
        }
        unchanged = count == previous && count >= flooded ? unchanged + 1 : 0;
        previous = count;
    }
    return burst_lines;
}

// rsyslogd as an operator tuned for throughput: imptcp on loopback into omfile, on a private
// configuration in the scratch folder. It loads no input but its TCP port, so the system's
// syslog socket and configuration stay untouched.
class rsyslog_process {
public:
    static constexpr const char* binary = "/usr/sbin/rsyslogd";
    static bool installed() { return ::access(binary, X_OK) == 0; }

    rsyslog_process(const std::filesystem::path& dir, const std::string& name, int tcp_port)
        : log(dir / (name + ".log")), port(tcp_port) {
        const auto work = dir / (name + ".work");
        std::filesystem::create_directories(work);
        const auto config = dir / (name + ".conf");
        std::ofstream(config) << "global(workDirectory=\"" << work.string()
                              << "\" maxMessageSize=\"64k\")\n"
                              << "module(load=\"imptcp\")\n"
                              << "main_queue(queue.type=\"LinkedList\" queue.size=\"1000000\" "
                                 "queue.dequeueBatchSize=\"4096\")\n"
                              << "template(name=\"body\" type=\"string\" string=\"%rawmsg%\\n\")\n"
                              << "input(type=\"imptcp\" address=\"127.0.0.1\" port=\"" << port
                              << "\")\n"
                              << "action(type=\"omfile\" file=\"" << log.string()
                              << "\" template=\"body\" "
                                 "ioBufferSize=\"1m\" asyncWriting=\"on\" flushOnTXEnd=\"on\")\n";
        const auto pid_file = dir / (name + ".pid");
        pid = ::fork();
        if (pid == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            ::execl(binary, binary, "-n", "-f", config.c_str(), "-i", pid_file.c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 400; ++i) {
            const int probe = connect_tcp(port);
            if (probe >= 0) {
                ::close(probe);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~rsyslog_process() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    rsyslog_process(const rsyslog_process&) = delete;
    rsyslog_process& operator=(const rsyslog_process&) = delete;

    static int connect_tcp(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    std::filesystem::path log;
    int port;
    pid_t pid;
};

// Producer processes for rsyslog: one TCP send per record, as the daemon gets one ZeroMQ send
// per record.
void tcp_producers(int port, int processes, std::size_t size, std::size_t count) {
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = ::fork();
        if (child == 0) {
            const int fd = rsyslog_process::connect_tcp(port);
            std::string record(size, 'p');
            record.push_back('\n');
            for (std::size_t i = 0; fd >= 0 && i < count; ++i) {
                if (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) < 0) {
                    ::_exit(1);
                }
            }
            ::close(fd);
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        ::waitpid(child, nullptr, 0);
    }
}

// Records per second into the log, from its first byte until it holds `expected` bytes.
double fill_rate(const std::filesystem::path& log, std::uint64_t expected, std::size_t records) {
    while (log_size(log) == 0) {
        std::this_thread::yield();
    }
    const auto start = std::chrono::steady_clock::now();
    while (log_size(log) < expected) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return static_cast<double>(records) / bench::seconds_since(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The daemon beside the peer an operator would pick instead, in the same run, one producer:
// `e2e_bench peers [ROUNDS [BASELINE_DAEMON]]`. With a second daemon binary (an earlier
// build), that one is measured the same way.
int compare_with_peers(const bench::scratch& dir, int rounds, const char* baseline) {
    std::printf("%-6s %12s %12s %12s %12s %10s %10s\n", "record", "daemon", "sync: true",
                "baseline", "rsyslog", "/rsyslog", "/baseline");
    int run = 0;
    for (std::size_t size : {64U, 512U, 4096U}) {
        const std::size_t total = size == 4096 ? 300000 : 2000000;
        std::vector<double> ours, durable, earlier, peer;
        for (int round = 0; round < rounds; ++round) {
            auto daemon_rate = [&](const std::string& settings, const char* binary) {
                auto daemon = std::make_unique<daemon_process>(
                    dir.path(), "peer" + std::to_string(run++), settings, binary);
                const auto log = daemon->log;
                settle();
                bench::producers senders(daemon->endpoint, 1, size, total);
                const double rate = fill_rate(log, total * (size + 1), total);
                daemon.reset();
                bench::scratch::remove(log);
                return rate;
            };
            ours.push_back(daemon_rate("", VELMOEVENTSD_PATH));
            if (size == 64) {
                durable.push_back(daemon_rate(", sync: true", VELMOEVENTSD_PATH));
            }
            if (baseline != nullptr) {
                earlier.push_back(daemon_rate("", baseline));
            }
            if (rsyslog_process::installed()) {
                ++run;
                auto peer_process = std::make_unique<rsyslog_process>(
                    dir.path(), "rsyslog" + std::to_string(run), 20514 + run);
                const auto log = peer_process->log;
                settle();
                std::thread senders([&] { tcp_producers(peer_process->port, 1, size, total); });
                peer.push_back(fill_rate(log, total * (size + 1), total));
                senders.join();
                peer_process.reset();
                bench::scratch::remove(log);
            }
        }
        std::printf("%-6zu %12.0f %12.0f %12.0f %12.0f %10.2f %10.2f\n", size, median(ours),
                    median(durable), median(earlier), median(peer),
                    peer.empty() ? 0 : median(ours) / median(peer),
                    earlier.empty() ? 0 : median(ours) / median(earlier));
        std::fflush(stdout);
    }
    return 0;
}

// CPU time the process has used so far, all its threads, in seconds.
double cpu_seconds(pid_t pid) {
    double total = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        double nanoseconds = 0;
        std::ifstream(task.path() / "schedstat") >> nanoseconds;
        total += nanoseconds / 1e9;
    }
    return total;
}

std::size_t descriptors(pid_t pid) {
    const std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(entries, {}));
}

// What one connection costs the daemon when `crowd` producers connect at once and each sends
// one record, from the first connect until every record is in the file: wall time and the
// daemon's CPU time per connection, medians over rounds. `e2e_bench connections [BASELINE]`.
int measure_connections(const bench::scratch& dir, const char* baseline) {
    rlimit limits{};
    ::getrlimit(RLIMIT_NOFILE, &limits);
    limits.rlim_cur = limits.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limits);
    std::printf("%-9s %9s %7s %14s %14s %9s\n", "daemon", "producers", "rounds", "us/conn wall",
                "us/conn CPU", "peak MiB");
    const std::string record = "one record per producer";
    int run = 0;
    for (const char* binary : {VELMOEVENTSD_PATH, baseline}) {
        for (const int crowd : {10, 3000}) {
            if (binary == nullptr) {
                break;
            }
            daemon_process daemon(dir.path(), "connections" + std::to_string(run++), "", binary);
            const int rounds = crowd == 10 ? 50 : 5;
            std::vector<double> wall, cpu;
            for (int round = 0; round < rounds; ++round) {
                zmq::context_t context;
                context.set(zmq::ctxopt::max_sockets, crowd + 16);
                std::vector<zmq::socket_t> producers;
                const std::uint64_t expected = log_size(daemon.log) + crowd * (record.size() + 1);
                const std::size_t idle = descriptors(daemon.pid);
                const double cpu_before = cpu_seconds(daemon.pid);
                const auto start = std::chrono::steady_clock::now();
                for (int i = 0; i < crowd; ++i) {
                    auto& socket = producers.emplace_back(context, zmq::socket_type::push);
                    socket.set(zmq::sockopt::linger, 0);
                    socket.connect(daemon.endpoint);
                    socket.send(zmq::buffer(record), zmq::send_flags::dontwait);
                }
                while (log_size(daemon.log) < expected && bench::seconds_since(start) < 120) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
                wall.push_back(bench::seconds_since(start) * 1e6 / crowd);
                cpu.push_back((cpu_seconds(daemon.pid) - cpu_before) * 1e6 / crowd);
                producers.clear();
                // The daemon has ended the connections before the next round starts.
                while (descriptors(daemon.pid) > idle && bench::seconds_since(start) < 240) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            std::printf("%-9s %9d %7d %14.1f %14.1f %9.1f\n",
                        binary == baseline ? "baseline" : "this", crowd, rounds, median(wall),
                        median(cpu), daemon.peak_mib());
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

// Records per second of the daemon with its log sealed and without, alternately in the same run:
// `rounds` of each, 64 B records from one producer.
int compare_sealed(const std::filesystem::path& dir, int rounds) {
    const auto key = dir / "seal.key";
    if (std::system((std::string(VELMOEVENTS_SEAL_PATH) + " setup --key-file " + key.string() +
                     " >/dev/null 2>&1")
                        .c_str()) != 0) {
        return 1;
    }
    constexpr std::size_t total = 2000000;
    std::vector<double> rates[2];
    for (int run = 0; run < 2 * rounds; ++run) {
        const bool sealed = run % 2 == (run / 2) % 2;
        settle();
        std::optional<daemon_process> daemon;
        daemon.emplace(dir, "sealed" + std::to_string(run), "", VELMOEVENTSD_PATH,
                       sealed ? "seal: {key_file: '" + key.string() + "'}\n" : "");
        {
            bench::producers senders(daemon->endpoint, 1, 64, total);
            while (log_size(daemon->log) == 0) {
                std::this_thread::yield();
            }
            const auto start = std::chrono::steady_clock::now();
            while (log_size(daemon->log) < total * 65) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            rates[sealed ? 1 : 0].push_back(static_cast<double>(total) /
                                            bench::seconds_since(start));
            std::printf("%s %.0f rec/s\n", sealed ? "sealed  " : "unsealed",
                        rates[sealed ? 1 : 0].back());
        }
        const auto log = daemon->log;
        daemon.reset();
        bench::scratch::remove(log);
        if (sealed) {
            bench::scratch::remove(log.string() + ".seal");
        }
    }
    // Each round is a sealed and an unsealed run side by side: the ratio is the median of the
    // rounds' own, as the machine's pace drifts between rounds more than within one.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < rates[0].size(); ++i) {
        ratios.push_back(rates[1][i] / rates[0][i]);
    }
    for (auto* list : {&rates[0], &rates[1], &ratios}) {
        std::sort(list->begin(), list->end());
    }
    const auto middle = static_cast<std::size_t>(rounds) / 2;
    std::printf(
        "64 B, 1 producer, %zu records, %d rounds: median unsealed %.0f rec/s, sealed "
        "%.0f rec/s; sealed/unsealed, median of the rounds' ratios %.3f (from %.3f to "
        "%.3f)\n",
        total, rounds, rates[0][middle], rates[1][middle], ratios[middle], ratios.front(),
        ratios.back());
    return 0;
}

int main(int argc, char* argv[]) {
    if (argc > 1 && std::string(argv[1]) == "seal") {
        bench::scratch dir;
        return compare_sealed(dir.path(), argc > 2 ? std::stoi(argv[2]) : 5);
    }
    const bool peers = argc > 1 && std::string(argv[1]) == "peers";
    const bool connections = argc > 1 && std::string(argv[1]) == "connections";
    const double flood_seconds = argc > 1 && !peers && !connections ? std::stod(argv[1]) : 60;
    ::signal(SIGPIPE, SIG_IGN);
    bench::scratch dir;
    if (connections) {
        return measure_connections(dir, argc > 2 ? argv[2] : nullptr);
    }
    if (peers) {
        return compare_with_peers(dir, argc > 2 ? std::stoi(argv[2]) : 3,
                                  argc > 3 ? argv[3] : nullptr);
    }
    if (argc > 4) {
        // Latency alone at a given rate: e2e_bench 0 RATE SIZE PRODUCERS [SECONDS [NICE]]
        daemon_process daemon(dir.path(), "latency");
        const latencies latency =
            measure_latency(daemon, std::stoi(argv[4]), std::stoul(argv[3]), std::stod(argv[2]),
                            argc > 5 ? std::stod(argv[5]) : 2.0, argc > 6 ? std::stoi(argv[6]) : 0);
        std::printf("p50 %.1f us, p99 %.1f us, p99.9 %.1f us\n", latency.p50, latency.p99,
                    latency.p999);
        return 0;
    }
    std::printf("%-6s %-4s %11s %8s %9s %9s %8s %9s %9s %9s %13s %13s\n", "record", "prod", "rec/s",
                "MB/s", "vs 2xwrite", "vs writev", "peak MiB", "p50 us", "p99 us", "p99.9 us",
                "p99 nice10", "p99.9 nice10");
    int run = 0;
    std::filesystem::path previous_log;
    for (std::size_t size : {64U, 512U, 4096U}) {
        for (int processes : {1, 4}) {
            const std::size_t total = size == 4096 ? 300000 : 2000000;
            // Each case starts on a machine without the gigabytes the earlier ones wrote.
            if (!previous_log.empty()) {
                bench::scratch::remove(previous_log);
            }
            daemon_process daemon(dir.path(), "case" + std::to_string(run++));
            previous_log = daemon.log;
            // The bare loops run both before and after the daemon and count with their mean:
            // how fast this machine appends drifts by a factor of two or more with the
            // gigabytes written just before, even after a sync.
            settle();
            double two_writes = bare_appends(daemon.log, size, total, true);
            settle();
            double one_writev = bare_appends(daemon.log, size, total, false);
            settle();
            const std::uint64_t before = log_size(daemon.log);
            const std::uint64_t expected = before + total * (size + 1);
            double rate = 0;
            {
                bench::producers senders(daemon.endpoint, processes, size,
                                         total / static_cast<std::size_t>(processes));
                while (log_size(daemon.log) == before) {
                    std::this_thread::yield();
                }
                const auto start = std::chrono::steady_clock::now();
                while (log_size(daemon.log) < expected) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                rate = static_cast<double>(total) / bench::seconds_since(start);
            }
            const double peak = daemon.peak_mib();
            settle();
            const latencies latency = measure_latency(daemon, processes, size, rate / 2, 5.0);
            const latencies behind = measure_latency(daemon, processes, size, rate / 2, 5.0, 10);
            settle();
            two_writes = (two_writes + bare_appends(daemon.log, size, total, true)) / 2;
            settle();
            one_writev = (one_writev + bare_appends(daemon.log, size, total, false)) / 2;
            std::printf(
                "%-6zu %-4d %11.0f %8.1f %9.3f %9.3f %8.1f %9.1f %9.1f %9.1f %13.1f %13.1f\n", size,
                processes, rate, rate * static_cast<double>(size + 1) / 1e6, rate / two_writes,
                rate / one_writev, peak, latency.p50, latency.p99, latency.p999, behind.p99,
                behind.p999);
            std::fflush(stdout);
        }
    }

    const std::uint64_t arrived = burst_then_exit(dir.path(), 100000);
    std::printf(
        "burst: 100000 records sent by a producer that exits at once (linger 5 s) while "
        "a flood keeps the daemon behind: %" PRIu64 " in the file\n",
        arrived);
    std::fflush(stdout);

    // Large records into a log whose every write waits for the disk: the memory bounds.
    for (const auto& [size, processes] :
         {std::pair{std::size_t{1} << 20, 1}, std::pair{std::size_t{64} << 10, 4}}) {
        settle();
        const auto log = dir.path() / ("large" + std::to_string(size) + ".log");
        const int fd = ::open(log.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
        int flags = 0;
        ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
        flags |= FS_SYNC_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
        daemon_process large(dir.path(), "large" + std::to_string(size));
        std::uint64_t sent = 0;
        {
            bench::producers flood(large.endpoint, processes, size, 0, 12.0);
            sent = flood.sent();
            while (log_size(large.log) < sent * (size + 1)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        std::printf("large records into a synchronous log: %d x %zu B for 12 s: %" PRIu64
                    " sent, %" PRIu64 " in the file, daemon peak %.1f MiB\n",
                    processes, size, sent, log_size(large.log) / (size + 1), large.peak_mib());
        std::fflush(stdout);
    }

    settle();
    daemon_process daemon(dir.path(), "flood");
    std::uint64_t sent = 0;
    {
        bench::producers flood(daemon.endpoint, 4, 64, 0, flood_seconds);
        sent = flood.sent();
        while (log_size(daemon.log) < sent * 65) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t written = log_size(daemon.log) / 65;
    std::printf("flood: 4 producers, 64 B, %.0f s: %" PRIu64 " sent, %" PRIu64
                " in the file, daemon peak %.1f MiB\n",
                flood_seconds, sent, written, daemon.peak_mib());
    return written == sent ? 0 : 1;
}
