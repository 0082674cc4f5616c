#include "config/yaml_config.hpp"

#include <spdlog/spdlog.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

std::string read_file(const std::filesystem::path& path) {
    // A directory opens as an empty stream and would load as an empty document,
    // silently giving every default: report it as the unreadable file it is.
    std::ifstream stream(path, std::ios::binary);
    if (std::filesystem::is_directory(path) || !stream) {
        throw YAML::BadFile(path.string());
    }
    std::ostringstream content;
    content << stream.rdbuf();
    if (stream.bad()) {
        throw YAML::BadFile(path.string());
    }
    return std::move(content).str();
}

// The parser takes control bytes (a binary file, say) as part of a plain scalar and would
// load such a file as a one-word document; YAML allows none of them.
void reject_control_characters(const std::string& text) {
    YAML::Mark mark;
    mark.line = 0;
    mark.column = 0;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7f) {
            throw YAML::ParserException(
                mark, fmt::format("control character 0x{:02x} is not allowed", byte));
        }
        if (byte == '\n') {
            ++mark.line;
            mark.column = 0;
        } else {
            ++mark.column;
        }
    }
}

}  // namespace

void yaml_config::load(const std::filesystem::path& path) {
    if (!std::filesystem::exists(std::filesystem::status(path))) {
        std::string message = "Config file not found: " + path.string();
        spdlog::error("{}", message);
        throw std::runtime_error(message);
    }
    try {
        const std::string text = read_file(path);
        reject_control_characters(text);
        root = YAML::Load(text);
        spdlog::info("Config loaded: {}", path.string());
    } catch (const YAML::Exception& error) {
        spdlog::error("YAML parse error: {}", error.what());
        throw;
    }
}

std::optional<YAML::Node> yaml_config::find(
    std::initializer_list<std::string_view> key_path) const {
    // The mutable index inserts missing keys, so walk a deep copy, never the loaded document.
    YAML::Node node = YAML::Clone(root);
    for (std::string_view key : key_path) {
        node.reset(node[std::string(key)]);
        if (!node.IsDefined() || node.IsNull()) {
            return std::nullopt;
        }
    }
    return node;
}

void yaml_config::report_lookup_error(const YAML::Exception& error) {
    spdlog::debug("Error reading config path: {}", error.what());
}
