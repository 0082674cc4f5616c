// Sealing: records per second of the daemon with its log sealed and without, side by side.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "e2e/e2e.hpp"
#include "producers.hpp"

namespace e2e {
namespace {

// Processor seconds a process has used so far, in user and kernel mode.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

void sealing(int rounds) {
    test::temp_dir keys;
    const test::path key = keys / "seal.key";
    if (test::shell(VELMOEVENTS_SEAL_PATH " setup --key-file " + key.string() +
                    " >/dev/null 2>&1; echo $?") != "0\n") {
        throw std::runtime_error("velmoevents-seal setup failed");
    }
    constexpr std::size_t total = 2000000;
    std::vector<double> plain, sealed, ratios, plain_cpu, sealed_cpu;
    for (int round = 0; round < rounds; ++round) {
        // Which goes first changes from round to round, so that drift falls on both alike.
        for (int turn = 0; turn < 2; ++turn) {
            const bool seal = (turn == 0) == (round % 2 == 0);
            settle();
            test::daemon daemon;
            daemon.configure((seal ? "seal: {key_file: '" + key.string() + "'}\n" : std::string()) +
                             "log_level: info\n");
            if (!daemon.start()) {
                throw std::runtime_error("the daemon did not start:\n" + daemon.running().output());
            }
            const double cpu_before = cpu_seconds(daemon.running().pid());
            bench::producers senders(daemon.endpoint(), 1, 64, total);
            (seal ? sealed : plain)
                .push_back(fill_rate(daemon.output(), 0, total * 65, total, daemon.running()));
            (seal ? sealed_cpu : plain_cpu)
                .push_back((cpu_seconds(daemon.running().pid()) - cpu_before) * 1e6 / total);
        }
        ratios.push_back(sealed.back() / plain.back());
        std::printf(
            "round %d: unsealed %.0f rec/s, sealed %.0f rec/s, ratio %.3f; daemon CPU "
            "%.3f and %.3f us a record\n",
            round + 1, plain.back(), sealed.back(), ratios.back(), plain_cpu.back(),
            sealed_cpu.back());
        std::fflush(stdout);
    }
    // The ratio is the median of the rounds' own: the machine's pace drifts between rounds
    // more than within one.
    std::printf(
        "64 B, 1 producer, %zu records, %d rounds: median unsealed %.0f rec/s, sealed "
        "%.0f rec/s; sealed/unsealed, median of the rounds' ratios %.3f (from %.3f to "
        "%.3f)\n",
        total, rounds, median(plain), median(sealed), median(ratios),
        *std::min_element(ratios.begin(), ratios.end()),
        *std::max_element(ratios.begin(), ratios.end()));
    std::printf("daemon CPU a record, median: unsealed %.3f us, sealed %.3f us\n",
                median(plain_cpu), median(sealed_cpu));
}

}  // namespace e2e
