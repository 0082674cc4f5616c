// What sealing costs the writer: groups of records written with one writev each, bare, then
// each followed by its seal entry (with MACs, and lengths only), in the same run; then how fast
// the real velmoevents-seal verifies a sealed log.
#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "seal/writer.hpp"
#include "support/harness.hpp"

namespace {

enum class mode { bare, lengths, sealed };

// Records per second of `count` groups of `per_group` records of `size` bytes.
double run(const std::filesystem::path& folder, mode how, std::size_t size, std::size_t per_group,
           std::size_t groups, const std::filesystem::path& key) {
    const auto log = folder / "events.log";
    std::filesystem::remove(log);
    std::filesystem::remove(log.string() + ".seal");
    const io::unique_fd fd(::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    std::optional<seal::writer> writer;
    if (how != mode::bare) {
        writer.emplace(io::unique_fd(::open((log.string() + ".seal").c_str(),
                                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)),
                       fd.get(),
                       seal::writer::options{
                           how == mode::sealed ? key : std::filesystem::path(),
                           false,
                           [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); },
                           {}});
    }
    std::string group;
    for (std::size_t i = 0; i < per_group; ++i) {
        group += std::string(size, 'r') + "\n";
    }
    const std::vector<std::size_t> lengths(per_group, size);
    const std::string_view written(group);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < groups; ++i) {
        iovec part{group.data(), group.size()};
        if (::writev(fd.get(), &part, 1) != static_cast<ssize_t>(group.size())) {
            std::perror("writev");
            std::exit(1);
        }
        if (writer) {
            writer->seal({&written, 1}, lengths, (i + 1) * group.size());
        }
    }
    writer.reset();
    return static_cast<double>(groups * per_group) / test::seconds_since(start);
}

}  // namespace

int main(int argc, char* argv[]) {
    const double volume_mib = argc > 1 ? std::stod(argv[1]) : 256;
    constexpr int rounds = 5;
    test::temp_dir dir;
    const auto key = dir.root / "seal.key";
    if (std::system((std::string(VELMOEVENTS_SEAL_PATH) + " setup --key-file " + key.string() +
                     " >" + (dir.root / "verification").string() + " 2>/dev/null")
                        .c_str()) != 0) {
        return 1;
    }
    std::string verification;
    std::ifstream(dir.root / "verification") >> verification;

    std::printf("%-8s %7s %14s %14s %14s %9s %9s\n", "record", "group", "bare rec/s",
                "lengths rec/s", "sealed rec/s", "lengths", "sealed");
    for (const auto& [size, per_group] :
         std::vector<std::pair<std::size_t, std::size_t>>{{64, 1024}, {64, 16}, {4096, 256}}) {
        const auto groups = static_cast<std::size_t>(volume_mib * 1024 * 1024 /
                                                     static_cast<double>((size + 1) * per_group));
        std::array<std::vector<double>, 3> rates;
        for (int round = 0; round < rounds; ++round) {
            // A different order each round, so that writeback falls on every mode alike.
            for (int i = 0; i < 3; ++i) {
                const auto how = static_cast<mode>((i + round) % 3);
                rates[static_cast<int>(how)].push_back(
                    run(dir.root, how, size, per_group, groups, key));
            }
        }
        for (auto& rate : rates) {
            std::sort(rate.begin(), rate.end());
        }
        const double bare = rates[0][rounds / 2];
        std::printf("%-8zu %7zu %14.0f %14.0f %14.0f %9.3f %9.3f\n", size, per_group, bare,
                    rates[1][rounds / 2], rates[2][rounds / 2], rates[1][rounds / 2] / bare,
                    rates[2][rounds / 2] / bare);
    }
    std::printf("(median of %d rounds, %.0f MiB per loop, in %s)\n\n", rounds, volume_mib,
                dir.root.c_str());

    // verify reads a sealed log that was just written (mostly still in the page cache).
    std::printf("%-8s %10s %10s %10s\n", "record", "MiB", "seconds", "MB/s");
    for (const std::size_t size : {64U, 4096U}) {
        const std::size_t per_group = size == 64 ? 1024 : 256;
        const auto groups = static_cast<std::size_t>(volume_mib * 4 * 1024 * 1024 /
                                                     static_cast<double>((size + 1) * per_group));
        run(dir.root, mode::sealed, size, per_group, groups, key);
        const auto log = dir.root / "events.log";
        const auto bytes = static_cast<double>(std::filesystem::file_size(log));
        const auto start = std::chrono::steady_clock::now();
        if (std::system((std::string(VELMOEVENTS_SEAL_PATH) + " verify --key " + verification +
                         " " + log.string() + " >/dev/null")
                            .c_str()) != 0) {
            std::fprintf(stderr, "verify failed\n");
            return 1;
        }
        const double seconds = test::seconds_since(start);
        std::printf("%-8zu %10.0f %10.3f %10.1f\n", size, bytes / 1048576, seconds,
                    bytes / seconds / 1e6);
    }
    return 0;
}
