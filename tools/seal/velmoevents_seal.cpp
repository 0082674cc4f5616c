// velmoevents-seal: creates the key that velmoeventsd seals its log with, and verifies a log
// and its archives against their seals with the verification key.
#include <unistd.h>

#include <array>
#include <boost/program_options.hpp>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "seal/key.hpp"
#include "seal/seal_error.hpp"
#include "seal/verifier.hpp"

namespace po = boost::program_options;

namespace {

constexpr const char* usage =
    "Usage: velmoevents-seal setup [--key-file FILE] [--interval SECONDS] [--force]\n"
    "       velmoevents-seal verify --key KEY LOG...\n";

int fail(const std::string& message, int status = 1) {
    std::cerr << "velmoevents-seal: " << message << std::endl;
    return status;
}

std::string utc(std::time_t time) {
    std::tm parts{};
    std::array<char, 32> text{};
    ::gmtime_r(&time, &parts);
    std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text.data();
}

int setup(const po::variables_map& options) {
    const std::filesystem::path file = options["key-file"].as<std::string>();
    const auto interval = options["interval"].as<long long>();
    if (interval < 1) {
        return fail("--interval takes a number of seconds of at least 1", 2);
    }
    std::error_code error;
    if (options.count("force") == 0 && std::filesystem::exists(file, error)) {
        return fail(file.string() +
                    " exists; --force replaces it, and the logs sealed with it then verify "
                    "only with its old verification key");
    }
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    seal::verification_key verification{seal::secret::random(),
                                        static_cast<std::uint64_t>(std::time(nullptr)),
                                        static_cast<std::uint64_t>(interval)};
    seal::sealing_key sealing{seal::key_id(verification.seed), verification.start,
                              verification.interval, 0, seal::initial_state(verification.seed)};
    seal::store_key_file(file, sealing, options.count("force") != 0);
    std::cout << verification.text() << std::endl;
    std::cerr << "Sealing key written to " << file.string()
              << ". Keep the verification key printed above off this host: it verifies the "
                 "seals, and whoever holds it can forge them."
              << std::endl;
    return 0;
}

int verify(const po::variables_map& options) {
    if (options.count("key") == 0 || options.count("log") == 0) {
        return fail(std::string("verify needs --key and at least one log\n") + usage, 2);
    }
    // `-` reads it from standard input, so that it shows in no process list or shell history.
    std::string text = options["key"].as<std::string>();
    if (text == "-") {
        std::getline(std::cin, text);
    }
    const auto key = seal::verification_key::parse(text);
    ::explicit_bzero(text.data(), text.size());
    seal::verifier check(key);
    int status = 0;
    // A seal named stands for its log, so that a glob such as events.log.2* may take both.
    std::vector<std::filesystem::path> logs;
    for (std::filesystem::path name : options["log"].as<std::vector<std::string>>()) {
        std::error_code error;
        if (name.extension() == ".seal" &&
            std::filesystem::exists(name.parent_path() / name.stem(), error)) {
            name = name.parent_path() / name.stem();
        }
        if (logs.empty() || logs.back() != name) {
            logs.push_back(name);
        }
    }
    for (const auto& result : check.verify(logs)) {
        const std::string log = result.log.string();
        for (const auto& warning : result.warnings) {
            std::cerr << log << ": warning: " << warning << std::endl;
        }
        if (result.intact) {
            std::cout << log << ": " << result.records << " records verified, sealed until "
                      << utc(result.sealed_until) << std::endl;
        } else {
            status = 1;
            std::cout << log << ": FAILED"
                      << (result.offset ? " at byte " + std::to_string(*result.offset) : "") << ": "
                      << result.problem << std::endl;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    po::options_description options("Options");
    options.add_options()("help,h", "Show this help message")(
        "key-file", po::value<std::string>()->default_value("/var/lib/velmoeventsd/seal.key"),
        "setup: where the sealing key goes")("interval", po::value<long long>()->default_value(900),
                                             "setup: seconds from one key to the next")(
        "force", "setup: replace an existing key")(
        "key", po::value<std::string>(), "verify: the verification key that setup printed");
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::string>())(
        "log", po::value<std::vector<std::string>>());
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("command", 1).add("log", -1);

    po::variables_map variables;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  variables);
        po::notify(variables);
    } catch (const std::exception& error) {
        return fail(std::string(error.what()) + "\n" + usage, 2);
    }
    if (variables.count("help") != 0) {
        std::cout << usage << options;
        return 0;
    }
    const std::string command =
        variables.count("command") != 0 ? variables["command"].as<std::string>() : "";
    try {
        if (command == "setup" && variables.count("log") == 0) {
            return setup(variables);
        }
        if (command == "verify") {
            return verify(variables);
        }
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return fail(usage, 2);
}
