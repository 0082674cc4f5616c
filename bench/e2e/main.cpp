// e2e_bench [all] [--flood-seconds N]: throughput, latency, bursts and floods.
// e2e_bench latency --rate R --size S --producers P [--seconds N] [--nice N]: the latency
// alone at one rate on a fresh daemon.
// e2e_bench peers [--rounds N] [--other-daemon PATH]: beside rsyslog and another build.
// e2e_bench connections [--other-daemon PATH]: what a connection costs, 10 or 3,000 at once.
// e2e_bench seal [--rounds N]: the rate with the log sealed against without.
#include <boost/program_options.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>

#include "e2e/e2e.hpp"

namespace po = boost::program_options;

int main(int argc, char* argv[]) {
    po::options_description all("e2e_bench [all]");
    all.add_options()("flood-seconds", po::value<double>()->default_value(60),
                      "how long the last flood runs");
    po::options_description latency("e2e_bench latency");
    latency.add_options()("rate", po::value<double>()->required(), "records per second, in all")(
        "size", po::value<std::size_t>()->required(), "record size in bytes (24 at least)")(
        "producers", po::value<int>()->required(), "producer processes")(
        "seconds", po::value<double>()->default_value(2), "how long")(
        "nice", po::value<int>()->default_value(0), "the producers' nice value");
    po::options_description peers("e2e_bench peers");
    peers.add_options()("rounds", po::value<int>()->default_value(3), "rounds; medians are shown")(
        "other-daemon", po::value<std::string>()->default_value(""),
        "another build of the daemon, measured the same way");
    po::options_description connections("e2e_bench connections");
    connections.add_options()("other-daemon", po::value<std::string>()->default_value(""),
                              "another build of the daemon, measured the same way");
    po::options_description seal("e2e_bench seal");
    seal.add_options()("rounds", po::value<int>()->default_value(11),
                       "rounds of both; medians are shown");
    const std::map<std::string, const po::options_description*> modes{{"all", &all},
                                                                      {"latency", &latency},
                                                                      {"peers", &peers},
                                                                      {"connections", &connections},
                                                                      {"seal", &seal}};

    const bool named = argc > 1 && argv[1][0] != '-';
    const std::string mode = named ? argv[1] : "all";
    if (!modes.contains(mode) || (argc > 1 && std::string(argv[1]) == "--help")) {
        std::cout << all << latency << peers << connections << seal;
        return modes.contains(mode) ? 0 : 2;
    }
    po::variables_map options;
    try {
        // The mode's name stands where the parser expects the program's.
        po::store(
            po::parse_command_line(argc - (named ? 1 : 0), argv + (named ? 1 : 0), *modes.at(mode)),
            options);
        po::notify(options);
    } catch (const po::error& error) {
        std::cerr << "e2e_bench " << mode << ": " << error.what() << "\n" << *modes.at(mode);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    try {
        if (mode == "latency") {
            auto daemon = e2e::start_daemon();
            const auto figures = e2e::measure_latency(
                *daemon, options["producers"].as<int>(), options["size"].as<std::size_t>(),
                options["rate"].as<double>(), options["seconds"].as<double>(),
                options["nice"].as<int>());
            std::printf("p50 %.1f us, p99 %.1f us, p99.9 %.1f us\n", figures.p50, figures.p99,
                        figures.p999);
        } else if (mode == "connections") {
            e2e::connections(options["other-daemon"].as<std::string>());
        } else if (mode == "seal") {
            e2e::sealing(options["rounds"].as<int>());
        } else if (mode == "peers") {
            e2e::peers(options["rounds"].as<int>(), options["other-daemon"].as<std::string>());
        } else {
            e2e::throughput();
            return e2e::floods(options["flood-seconds"].as<double>()) ? 0 : 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "e2e_bench %s: %s\n", mode.c_str(), error.what());
        return 1;
    }
    return 0;
}
