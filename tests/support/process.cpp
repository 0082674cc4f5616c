#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace test {

process::process(const std::vector<std::string>& argv, const options& settings) {
    int out[2];
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (settings.standard_input && ::pipe2(in, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        ::setpgid(0, 0);
        if (settings.standard_input) {
            ::dup2(in[0], STDIN_FILENO);
        } else {
            int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
        }
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output_fd = out[0];
    if (settings.standard_input) {
        ::close(in[0]);
        const std::string& data = *settings.standard_input;
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::write(in[1], data.data() + done, data.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(in[1]);
    }
}

process::~process() {
    if (!status) {
        ::kill(child, SIGKILL);
        wait(std::chrono::seconds(5));
    }
    ::close(output_fd);
}

void process::signal(int number) const { ::kill(child, number); }

bool process::read_some(std::chrono::milliseconds timeout) {
    pollfd entry{output_fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = ::read(output_fd, buffer, sizeof buffer);
    if (n <= 0) {
        return false;
    }
    captured.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (captured.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_some(left)) {
            return captured.find(text) != std::string::npos;
        }
    }
    return true;
}

int process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool killed = false;
    while (!status) {
        int raw = 0;
        pid_t done = ::waitpid(child, &raw, WNOHANG);
        if (done == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            killed = true;
        }
        if (!read_some(std::chrono::milliseconds(10))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    while (read_some(std::chrono::milliseconds(0))) {
    }
    return *status;
}

int run(const std::vector<std::string>& argv, std::string& output,
        const process::options& settings) {
    process child(argv, settings);
    int status = child.wait();
    output = child.output();
    return status;
}

}  // namespace test
