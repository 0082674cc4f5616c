#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// What the tests and the benchmarks share: a fresh folder, a child process, the real daemon,
// facts about files and processes, and waits that always end.
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

// Polls `done` every `period` until it holds or the time is up; whether it held.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s,
                       std::chrono::microseconds period = 10ms) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !done();
         std::this_thread::sleep_for(period)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A file's size, 0 while it does not exist.
inline std::uintmax_t size_of(const path& file) {
    std::error_code missing;
    const auto size = std::filesystem::file_size(file, missing);
    return missing ? 0 : size;
}

// The most resident memory a process has held so far, in MiB; 0 once it has gone.
inline double peak_mib(pid_t pid = ::getpid()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024;
    }
    return 0;
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
    bool exited() {
        int raw = 0;
        if (!status && ::waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        return status.has_value();
    }

private:
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
                   const std::string& consumer = "", const std::optional<path>& log = {}) const {
        write_file(config(), top + "queue: {endpoint: '" + endpoint() + "'" + queue +
                                 "}\nconsumer: {output_file: '" + log.value_or(output()).string() +
                                 "'" + consumer + "}\n");
    }
    std::string endpoint() const { return "ipc://" + (folder / "events.sock").string(); }
    path output() const { return folder / "log" / "events.log"; }
    path config() const { return folder / "config.yaml"; }
    // Starts the binary, through the launcher if given, and waits for "Service ready".
    bool start(const std::string& launcher = "", const std::string& binary = VELMOEVENTSD_PATH) {
        child = std::make_unique<process>("exec " + launcher + " " + binary + " -c " +
                                          config().string());
        return child->wait_for_output("Service ready");
    }
    process& running() const { return *child; }
    int stop(int signal_number) const {
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

}  // namespace test
