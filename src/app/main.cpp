#include <spdlog/spdlog.h>

#include <boost/program_options.hpp>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "app/service_runner.hpp"
#include "config/defaults.hpp"
#include "config/settings.hpp"
#include "config/yaml_config.hpp"

namespace po = boost::program_options;

int main(int argc, char* argv[]) {
    try {
        po::options_description options("Allowed options");
        options.add_options()("help,h", "Show this help message")(
            "config,c", po::value<std::string>()->default_value(defaults::config_file),
            "Path to configuration file");
        po::variables_map variables;
        po::store(po::parse_command_line(argc, argv, options), variables);
        po::notify(variables);

        if (variables.count("help") != 0) {
            std::cout << options << std::endl;
            return 0;
        }

        const std::string config_path = variables["config"].as<std::string>();
        spdlog::info("Starting service");
        spdlog::info("Using config file: {}", config_path);

        yaml_config config;
        config.load(std::filesystem::path(config_path));

        // The level first, so that what the other settings report is logged at it.
        const auto level =
            spdlog::level::from_str(config.get<std::string>({"log_level"}, settings{}.log_level));
        spdlog::info("Log level: {}", spdlog::level::to_string_view(level));
        spdlog::set_level(level);
        const settings read = read_settings(config);

        return run_service(read);
    } catch (const std::exception& error) {
        spdlog::critical("Fatal error: {}", error.what());
        return 1;
    } catch (...) {
        spdlog::critical("Unknown fatal error");
        return 1;
    }
}
