#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace test {

// The real daemon binary, run as a child on a configuration of its own in a fresh folder.
class daemon {
public:
    explicit daemon(const std::string& extra_config = "log_level: info\n");

    std::string endpoint() const { return "ipc://" + socket_path().string(); }
    std::filesystem::path socket_path() const { return dir / "events.sock"; }
    std::filesystem::path output() const { return dir / "log" / "events.log"; }
    std::filesystem::path config() const { return dir / "config.yaml"; }
    const temp_dir& folder() const { return dir; }

    // Starts the binary (optionally through another command, like systemd-socket-activate)
    // and waits for "Service ready"; false if it never came.
    bool start(const std::vector<std::string>& launcher = {});
    process& running() { return *child; }
    // Sends the signal and returns the exit status.
    int stop(int signal_number);
    // Waits until the log holds at least this many records; returns them.
    std::vector<std::string> wait_for_records(
        std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

private:
    temp_dir dir;
    std::unique_ptr<process> child;
};

// Waits until the path exists; false on timeout.
bool wait_for_file(const std::filesystem::path& path,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace test
