#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>

// What the tests share: a fresh folder, a child process, the real daemon, a producer, and the
// facts an administrator reads back from a file.
namespace test {

using namespace std::chrono_literals;

// A fresh folder per test, removed with everything in it (append-only attributes included).
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::string& name) const { return root / name; }

private:
    std::filesystem::path root;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);
// The lines of an event log without their newlines; a last line without one is left out.
std::vector<std::string> split_records(const std::string& content);
std::size_t count(const std::string& text, const std::string& part);
inline bool contains(const std::string& text, const std::string& part) {
    return count(text, part) > 0;
}

// A child with its standard output and error merged into one pipe that the test reads.
class process {
public:
    explicit process(const std::vector<std::string>& argv,
                     const std::optional<std::string>& input = std::nullopt);
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    pid_t pid() const { return child; }
    void signal(int number) const;
    // False on timeout or end of output.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // The exit status, or 128 + signal; kills the child on timeout.
    int wait(std::chrono::milliseconds timeout = 20s);
    const std::string& output() const { return captured; }

private:
    bool read_some(std::chrono::milliseconds timeout);
    pid_t child = -1;
    int output_fd = -1;
    std::string captured;
    std::optional<int> status;
};

// Runs to completion; the output is left in `output`.
int run(const std::vector<std::string>& argv, std::string& output,
        const std::optional<std::string>& input = std::nullopt);

// The real daemon binary, run as a child on a configuration of its own in a fresh folder.
class daemon {
public:
    daemon() { configure(); }
    // `queue` and `consumer` are further settings of those sections, as ", key: value".
    void configure(const std::string& top = "log_level: info\n", const std::string& queue = "",
                   const std::string& consumer = "");
    std::string endpoint() const { return "ipc://" + (dir / "events.sock").string(); }
    std::filesystem::path output() const { return dir / "log" / "events.log"; }
    std::filesystem::path config() const { return dir / "config.yaml"; }
    const temp_dir& folder() const { return dir; }
    // Starts the binary, through the launcher if given, and waits for "Service ready".
    bool start(const std::vector<std::string>& launcher = {});
    process& running() { return *child; }
    int stop(int signal_number);
    // Waits until the log holds at least `count` records; returns them.
    std::vector<std::string> wait_for_records(std::size_t count,
                                              std::chrono::milliseconds timeout = 20s) const;

private:
    temp_dir dir;
    std::unique_ptr<process> child;
};

// A producer as the daemon's clients write one: a PUSH socket with blocking sends and an
// unlimited linger. `flood` sends record(0), record(1), ... from a thread of its own until
// `stop`; then nothing that has not left is waited for.
class producer {
public:
    explicit producer(const std::string& endpoint);
    ~producer() { stop(); }
    producer(const producer&) = delete;
    producer& operator=(const producer&) = delete;
    void send(const std::string& message, bool more = false);
    void flood(std::function<std::string(int)> record);
    // Stops the flood; returns how many records it sent.
    int stop();

private:
    zmq::context_t context;
    zmq::socket_t socket;
    std::atomic<bool> flooding{false};
    int sent = 0;
    std::thread thread;
};

// A 4 MiB ext4 file system of the test's own, loop-mounted, to fill up and free again.
class small_disk {
public:
    explicit small_disk(const std::filesystem::path& mount_point);
    ~small_disk();
    small_disk(const small_disk&) = delete;
    small_disk& operator=(const small_disk&) = delete;
    bool mounted() const { return is_mounted; }
    void fill() const;
    void free_space() const;

private:
    std::filesystem::path root;
    bool is_mounted = false;
};

// What an administrator reads back: the access ACL in short text, the label, the inode flags.
std::string access_acl(const std::filesystem::path& path);
std::string label(const std::filesystem::path& path);
int inode_flags(const std::filesystem::path& path);
bool append_only(const std::filesystem::path& path);

}  // namespace test
