#pragma once

#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string_view>

// The daemon's configuration document, loaded once; lookups work on a copy so the
// loaded document never changes, and anything absent or of the wrong shape is "no value".
class yaml_config {
public:
    void load(const std::filesystem::path& path);

    template <typename T>
    std::optional<T> get_optional(std::initializer_list<std::string_view> key_path) const {
        try {
            auto node = find(key_path);
            if (!node) {
                return std::nullopt;
            }
            return node->template as<T>();
        } catch (const YAML::Exception& error) {
            report_lookup_error(error);
            return std::nullopt;
        }
    }

    template <typename T>
    T get(std::initializer_list<std::string_view> key_path, T default_value) const {
        if (auto value = get_optional<T>(key_path)) {
            return std::move(*value);
        }
        return default_value;
    }

private:
    // Empty for an absent or null value; throws YAML::Exception for a path through a scalar.
    std::optional<YAML::Node> find(std::initializer_list<std::string_view> key_path) const;
    static void report_lookup_error(const YAML::Exception& error);

    YAML::Node root;
};
