// Records per second of file_message_consumer::consume against a bare loop of the same system
// call (one writev of the record and its newline) on the same file, in the same run; for 64 B
// also with the log archived every 64 MiB, against the consumer that does not archive.
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
    const std::string_view one(record);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        consumer.consume({&one, 1});
    }
    return static_cast<double>(count) / test::seconds_since(start);
}

}  // namespace

int main(int argc, char* argv[]) {
    // The rotations would log a line each.
    spdlog::set_level(spdlog::level::warn);
    // About 128 MiB per timed loop unless told otherwise.
    const double volume_mib = argc > 1 ? std::stod(argv[1]) : 128;
    const std::uint64_t rotation_mib = argc > 2 ? std::stoull(argv[2]) : 64;
    constexpr int rounds = 9;
    std::printf("%-8s %14s %14s %8s\n", "record", "consume rec/s", "bare rec/s", "ratio");
    // The row "64 arch" archives its log every 64 MiB (or as told) and is measured against the
    // same consumer without rotation, in place of the bare loop.
    for (const auto& [size, rotate_at] : std::vector<std::pair<std::size_t, std::uint64_t>>{
             {64, 0}, {64, rotation_mib << 20}, {512, 0}, {4096, 0}}) {
        const std::uint64_t rotation = rotate_at;  // a lambda below takes it
        const std::string record(size, 'r');
        const auto count =
            static_cast<std::size_t>(volume_mib * 1024 * 1024 / static_cast<double>(size + 1));
        std::vector<double> consumer_rates;
        std::vector<double> bare_rates;
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            const test::temp_dir dir;
            const auto path = dir / "events.log";
            file_message_consumer consumer(path, {.max_file_size = rotation});
            const auto baseline = [&] {
                if (rotation == 0) {
                    return bare_loop(path, record, count);
                }
                file_message_consumer unrotated(dir / "unrotated.log");
                return through_consumer(unrotated, record, count);
            };
            // Alternate the order so page-cache and writeback effects fall on both alike.
            if (round % 2 == 0) {
                consumer_rates.push_back(through_consumer(consumer, record, count));
                bare_rates.push_back(baseline());
            } else {
                bare_rates.push_back(baseline());
                consumer_rates.push_back(through_consumer(consumer, record, count));
            }
            ratios.push_back(consumer_rates.back() / bare_rates.back());
        }
        // The ratio is the median of each round's own, which the machine's drift from one
        // round to the next does not enter.
        for (auto* rates : {&consumer_rates, &bare_rates, &ratios}) {
            std::sort(rates->begin(), rates->end());
        }
        std::printf("%-8s %14.0f %14.0f %8.3f\n",
                    (std::to_string(size) + (rotation != 0 ? " arch" : "")).c_str(),
                    consumer_rates[rounds / 2], bare_rates[rounds / 2], ratios[rounds / 2]);
    }
    std::printf("(median of %d rounds, %.0f MiB per loop, archived every %llu MiB, in %s)\n",
                rounds, volume_mib, static_cast<unsigned long long>(rotation_mib),
                std::filesystem::temp_directory_path().c_str());
    return 0;
}
