// Records per second of file_message_consumer::consume against a bare loop of the same system
// call (one writev of the record and its newline) on the same file, in the same run.
#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "io/unique_fd.hpp"
#include "output/file_message_consumer.hpp"
#include "support/harness.hpp"

namespace {

double bare_loop(const std::filesystem::path& path, const std::string& record, std::size_t count) {
    const io::unique_fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    char newline = '\n';
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        std::array<iovec, 2> parts{
            {{const_cast<char*>(record.data()), record.size()}, {&newline, 1}}};
        if (::writev(fd.get(), parts.data(), 2) < 0) {
            std::perror("writev");
            std::exit(1);
        }
    }
    return static_cast<double>(count) / test::seconds_since(start);
}

double through_consumer(file_message_consumer& consumer, const std::string& record,
                        std::size_t count) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        consumer.consume(record);
    }
    return static_cast<double>(count) / test::seconds_since(start);
}

}  // namespace

int main(int argc, char* argv[]) {
    // About 128 MiB per timed loop unless told otherwise.
    const double volume_mib = argc > 1 ? std::stod(argv[1]) : 128;
    constexpr int rounds = 5;
    std::printf("%-8s %14s %14s %8s\n", "record", "consume rec/s", "bare rec/s", "ratio");
    for (std::size_t size : {64U, 512U, 4096U}) {
        const std::string record(size, 'r');
        const auto count =
            static_cast<std::size_t>(volume_mib * 1024 * 1024 / static_cast<double>(size + 1));
        std::vector<double> consumer_rates;
        std::vector<double> bare_rates;
        for (int round = 0; round < rounds; ++round) {
            const test::temp_dir dir;
            const auto path = dir / "events.log";
            file_message_consumer consumer(path);
            // Alternate the order so page-cache and writeback effects fall on both alike.
            if (round % 2 == 0) {
                consumer_rates.push_back(through_consumer(consumer, record, count));
                bare_rates.push_back(bare_loop(path, record, count));
            } else {
                bare_rates.push_back(bare_loop(path, record, count));
                consumer_rates.push_back(through_consumer(consumer, record, count));
            }
        }
        std::sort(consumer_rates.begin(), consumer_rates.end());
        std::sort(bare_rates.begin(), bare_rates.end());
        const double consumer_median = consumer_rates[rounds / 2];
        const double bare_median = bare_rates[rounds / 2];
        std::printf("%-8zu %14.0f %14.0f %8.3f\n", size, consumer_median, bare_median,
                    consumer_median / bare_median);
    }
    std::printf("(median of %d rounds, %.0f MiB per loop, in %s)\n", rounds, volume_mib,
                std::filesystem::temp_directory_path().c_str());
    return 0;
}
