#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <thread>
#include <zmq.hpp>

// What the tests share: a fresh folder, a child process, the real daemon and a producer.
namespace test {

using namespace std::literals;
using std::filesystem::path;

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

inline std::string read_file(const path& file) {
    std::ostringstream content;
    content << std::ifstream(file, std::ios::binary).rdbuf();
    return std::move(content).str();
}

inline void write_file(const path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

// The lines of an event log without their newlines; a last line without one is left out.
inline std::vector<std::string> split_records(const std::string& content) {
    std::vector<std::string> records;
    for (std::size_t start = 0, end; (end = content.find('\n', start)) != std::string::npos;
         start = end + 1) {
        records.push_back(content.substr(start, end - start));
    }
    return records;
}

// The default logger's last records, kept to be read back.
inline std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> capture_log() {
    auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
    return sink;
}

// Polls `done` every 10 ms until it holds or the time is up; whether it held.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !done();
         std::this_thread::sleep_for(10ms)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
}

// A fresh folder per test, removed with everything in it (append-only attributes included).
struct temp_dir {
    temp_dir() = default;
    temp_dir(const temp_dir&) = delete;  // a copy would remove the folder under the original
    ~temp_dir() {
        std::system(
            ("chattr -R -a '" + root.string() + "' 2>/dev/null; rm -rf '" + root.string() + "'")
                .c_str());
    }
    path operator/(const std::string& name) const { return root / name; }
    path root = [] {
        std::string pattern = std::filesystem::temp_directory_path() / "velmo-test-XXXXXX";
        return path(::mkdtemp(pattern.data()));
    }();
};

// A shell command line run as a child in a process group of its own, its standard input from
// /dev/null unless the line says otherwise, its standard output and error in one file of its
// own, which never blocks it. A line that starts with exec makes the child the program itself.
class process {
public:
    explicit process(const std::string& command) {
        const std::string line = "exec </dev/null >" + log.string() + " 2>&1; " + command;
        if ((child = ::fork()) < 0) throw std::system_error(errno, std::generic_category(), "fork");
        if (child == 0) {
            ::setpgid(0, 0);
            ::execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            ::_exit(127);
        }
        // Also here, so that the group exists before any kill of it, whichever runs first.
        ::setpgid(child, child);
    }
    process(const process&) = delete;
    ~process() { wait(0ms); }
    pid_t pid() const { return child; }
    void signal(int number) const { ::kill(child, number); }
    std::string output() const { return read_file(log); }
    // False on timeout or once the child has exited without writing `text`.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        eventually([&] { return contains(output(), text) || exited(); }, timeout);
        return contains(output(), text);
    }
    // The exit status, or 128 + signal; kills the child on timeout.
    int wait(std::chrono::milliseconds timeout = 20s) {
        if (!eventually([&] { return exited(); }, timeout)) ::kill(-child, SIGKILL);
        eventually([&] { return exited(); });
        return *status;
    }

private:
    bool exited() {
        int raw = 0;
        if (!status && ::waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return status.has_value();
    }

    temp_dir dir;
    path log = dir / "output";
    pid_t child = -1;
    std::optional<int> status;
};

// What a command prints, standard error included.
inline std::string shell(const std::string& command) {
    process child(command);
    child.wait();
    return child.output();
}

// The real daemon binary, run as a child on a configuration of its own in a fresh folder.
struct daemon {
    daemon() { configure(); }
    // `queue` and `consumer` are further settings of those sections, as ", key: value".
    void configure(const std::string& top = "log_level: info\n", const std::string& queue = "",
                   const std::string& consumer = "", const std::optional<path>& log = {}) {
        write_file(config(), top + "queue: {endpoint: '" + endpoint() + "'" + queue +
                                 "}\nconsumer: {output_file: '" + log.value_or(output()).string() +
                                 "'" + consumer + "}\n");
    }
    std::string endpoint() const { return "ipc://" + (folder / "events.sock").string(); }
    path output() const { return folder / "log" / "events.log"; }
    path config() const { return folder / "config.yaml"; }
    // Starts the binary, through the launcher if given, and waits for "Service ready".
    bool start(const std::string& launcher = "") {
        child = std::make_unique<process>("exec " + launcher + " " VELMOEVENTSD_PATH " -c " +
                                          config().string());
        return child->wait_for_output("Service ready");
    }
    process& running() { return *child; }
    int stop(int signal_number) {
        child->signal(signal_number);
        return child->wait();
    }
    // Waits until the log holds at least `count` records; returns them.
    std::vector<std::string> wait_for_records(std::size_t count,
                                              std::chrono::milliseconds timeout = 20s) const {
        eventually([&] { return test::count(read_file(output()), "\n") >= count; }, timeout);
        return split_records(read_file(output()));
    }

    temp_dir folder;
    std::unique_ptr<process> child;
};

// A producer as the daemon's clients write one: a PUSH socket with blocking sends and a
// linger long enough for any test, never one that hangs it. `flood` sends record(0), record(1), ...
// from a thread of its own until `stop`; then nothing that has not left is waited for.
class producer {
public:
    explicit producer(const std::string& endpoint) {
        socket.set(zmq::sockopt::linger, 20000);
        socket.set(zmq::sockopt::sndhwm, 64);
        socket.connect(endpoint);
    }
    void send(const std::string& message, bool more = false) {
        socket.send(zmq::buffer(message), more ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
    void flood(std::function<std::string(int)> record) {
        // A daemon that went away never leaves the flood, or the close, hanging.
        socket.set(zmq::sockopt::sndtimeo, 50);
        socket.set(zmq::sockopt::linger, 0);
        thread = std::jthread([this, record](std::stop_token stop) {
            while (!stop.stop_requested()) sent += socket.send(zmq::buffer(record(sent))) ? 1 : 0;
        });
    }
    // Stops the flood; returns how many records it sent.
    int stop() {
        thread = {};
        return sent;
    }

private:
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::push};
    int sent = 0;
    std::jthread thread;  // the flood, stopped before the socket closes
};

}  // namespace test
