#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test {

// A child process with its standard output and error merged into one pipe that the test reads.
class process {
public:
    struct options {
        std::optional<std::string> standard_input{};
    };

    process(const std::vector<std::string>& argv, const options& settings);
    explicit process(const std::vector<std::string>& argv) : process(argv, options{}) {}
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return child; }
    void signal(int number) const;

    // Waits until a line containing text has been printed; false on timeout or end of output.
    bool wait_for_output(const std::string& text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the exit (killing the child on timeout) and returns the exit status,
    // or 128 + signal for a child ended by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    const std::string& output() const { return captured; }

private:
    bool read_some(std::chrono::milliseconds timeout);

    pid_t child = -1;
    int output_fd = -1;
    std::string captured;
    std::optional<int> status;
};

// Runs to completion and returns the exit status; the output is left in output.
int run(const std::vector<std::string>& argv, std::string& output,
        const process::options& settings = {});

}  // namespace test
