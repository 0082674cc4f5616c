#include "support/daemon.hpp"

#include <csignal>
#include <thread>

namespace test {

daemon::daemon(const std::string& extra_config) {
    write_file(config(), extra_config + "queue:\n  endpoint: " + endpoint() +
                             "\nconsumer:\n  output_file: " + output().string() + "\n");
}

bool daemon::start(const std::vector<std::string>& launcher) {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {VELMOEVENTSD_PATH, "--config", config().string()});
    child = std::make_unique<process>(argv);
    return child->wait_for_output("Service ready");
}

int daemon::stop(int signal_number) {
    child->signal(signal_number);
    return child->wait();
}

std::vector<std::string> daemon::wait_for_records(std::size_t count,
                                                  std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> records;
    do {
        records = split_records(read_file(output()));
        if (records.size() >= count) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return records;
}

}  // namespace test

namespace test {

bool wait_for_file(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace test
