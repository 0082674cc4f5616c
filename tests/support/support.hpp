#pragma once

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

// What the tests share: a fresh folder, a child process, the real daemon, a producer, and the
// facts an administrator reads back from a file.
namespace test {

using namespace std::chrono_literals;

inline int inode_flags(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = -1;
    ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    ::close(fd);
    return flags;
}

inline bool append_only(const std::filesystem::path& path) {
    return inode_flags(path) != -1 && (inode_flags(path) & FS_APPEND_FL) != 0;
}

// The access ACL in short text form.
inline std::string access_acl(const std::filesystem::path& path) {
    acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    char* text = acl != nullptr ? ::acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE) : nullptr;
    const std::string result = text != nullptr ? text : "<none>";
    ::acl_free(text);
    ::acl_free(acl);
    return result;
}

inline std::string label(const std::filesystem::path& path) {
    char value[256];
    const ssize_t size = ::lgetxattr(path.c_str(), "trusted.mavi.label", value, sizeof value);
    return size < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(size));
}

// A fresh folder per test, removed with everything in it (append-only attributes included).
class temp_dir {
public:
    temp_dir() {
        std::string pattern = std::filesystem::temp_directory_path() / "velmo-test-XXXXXX";
        root = ::mkdtemp(pattern.data());
    }
    ~temp_dir() {
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (append_only(it->path())) {
                std::system(("chattr -a '" + it->path().string() + "'").c_str());
            }
        }
        std::filesystem::remove_all(root, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::string& name) const { return root / name; }

private:
    std::filesystem::path root;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return std::move(content).str();
}

inline void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
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

inline std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A child with its standard output and error in one pipe that the test reads, and its
// standard input from a file when one is given.
class process {
public:
    explicit process(const std::vector<std::string>& argv,
                     const std::filesystem::path& input = "/dev/null") {
        int out[2];
        ::pipe2(out, O_CLOEXEC);
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        if ((child = ::fork()) == 0) {
            ::setpgid(0, 0);
            ::dup2(::open(input.c_str(), O_RDONLY), STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        output_fd = out[0];
    }
    ~process() {
        if (!status) {
            ::kill(child, SIGKILL);
            wait();
        }
        ::close(output_fd);
    }
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    pid_t pid() const { return child; }
    void signal(int number) const { ::kill(child, number); }
    const std::string& output() const { return captured; }
    // False on timeout or end of output.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!contains(captured, text) && std::chrono::steady_clock::now() < deadline &&
               read_some(10ms) >= 0) {
        }
        return contains(captured, text);
    }
    // The exit status, or 128 + signal; kills the child on timeout.
    int wait(std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (int raw = 0; !status; read_some(1ms)) {
            if (::waitpid(child, &raw, WNOHANG) == child) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child, SIGKILL);
            }
        }
        while (read_some(0ms) > 0) {
        }
        return *status;
    }

private:
    // Bytes read, 0 when none came in time, -1 at the end of the output.
    ssize_t read_some(std::chrono::milliseconds timeout) {
        pollfd entry{output_fd, POLLIN, 0};
        char buffer[4096];
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
            return 0;
        }
        const ssize_t n = ::read(output_fd, buffer, sizeof buffer);
        captured.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        return n > 0 ? n : -1;
    }

    pid_t child = -1;
    int output_fd = -1;
    std::string captured;
    std::optional<int> status;
};

// Runs to completion; the output is left in `output`.
inline int run(const std::vector<std::string>& argv, std::string& output,
               const std::filesystem::path& input = "/dev/null") {
    process child(argv, input);
    const int status = child.wait();
    output = child.output();
    return status;
}

// The real daemon binary, run as a child on a configuration of its own in a fresh folder.
class daemon {
public:
    daemon() { configure(); }
    // `queue` and `consumer` are further settings of those sections, as ", key: value".
    void configure(const std::string& top = "log_level: info\n", const std::string& queue = "",
                   const std::string& consumer = "",
                   const std::optional<std::filesystem::path>& log = std::nullopt) {
        write_file(config(), top + "queue: {endpoint: '" + endpoint() + "'" + queue +
                                 "}\nconsumer: {output_file: '" + log.value_or(output()).string() +
                                 "'" + consumer + "}\n");
    }
    std::string endpoint() const { return "ipc://" + (dir / "events.sock").string(); }
    std::filesystem::path output() const { return dir / "log" / "events.log"; }
    std::filesystem::path config() const { return dir / "config.yaml"; }
    const temp_dir& folder() const { return dir; }
    // Starts the binary, through the launcher if given, and waits for "Service ready".
    bool start(std::vector<std::string> launcher = {}) {
        launcher.insert(launcher.end(), {VELMOEVENTSD_PATH, "--config", config().string()});
        child = std::make_unique<process>(launcher);
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
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        auto records = split_records(read_file(output()));
        while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            records = split_records(read_file(output()));
        }
        return records;
    }

private:
    temp_dir dir;
    std::unique_ptr<process> child;
};

// A producer as the daemon's clients write one: a PUSH socket with blocking sends and an
// unlimited linger. `flood` sends record(0), record(1), ... from a thread of its own until
// `stop`; then nothing that has not left is waited for.
class producer {
public:
    explicit producer(const std::string& endpoint) {
        socket.set(zmq::sockopt::linger, -1);
        socket.set(zmq::sockopt::sndhwm, 64);
        socket.connect(endpoint);
    }
    ~producer() { stop(); }
    producer(const producer&) = delete;
    producer& operator=(const producer&) = delete;
    void send(const std::string& message, bool more = false) {
        socket.send(zmq::buffer(message), more ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
    void flood(std::function<std::string(int)> record) {
        // A daemon that went away never leaves the flood, or the close, hanging.
        socket.set(zmq::sockopt::sndtimeo, 50);
        socket.set(zmq::sockopt::linger, 0);
        flooding = true;
        thread = std::thread([this, record] {
            while (flooding) {
                sent += socket.send(zmq::buffer(record(sent)), zmq::send_flags::none) ? 1 : 0;
            }
        });
    }
    // Stops the flood; returns how many records it sent.
    int stop() {
        flooding = false;
        if (thread.joinable()) {
            thread.join();
        }
        return sent;
    }

private:
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::push};
    std::atomic<bool> flooding{false};
    int sent = 0;
    std::thread thread;
};

}  // namespace test
