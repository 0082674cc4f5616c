// Sealing: records per second of the daemon with its log sealed and without, side by side.
#include <cstdio>

#include "e2e/e2e.hpp"
#include "producers.hpp"

namespace e2e {

void sealing(int rounds) {
    test::temp_dir keys;
    const test::path key = keys / "seal.key";
    if (test::shell(VELMOEVENTS_SEAL_PATH " setup --key-file " + key.string() +
                    " >/dev/null 2>&1; echo $?") != "0\n") {
        throw std::runtime_error("velmoevents-seal setup failed");
    }
    constexpr std::size_t total = 2000000;
    std::vector<double> plain, sealed, ratios;
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
            bench::producers senders(daemon.endpoint(), 1, 64, total);
            (seal ? sealed : plain)
                .push_back(fill_rate(daemon.output(), 0, total * 65, total, daemon.running()));
        }
        ratios.push_back(sealed.back() / plain.back());
        std::printf("round %d: unsealed %.0f rec/s, sealed %.0f rec/s, ratio %.3f\n", round + 1,
                    plain.back(), sealed.back(), ratios.back());
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
}

}  // namespace e2e
