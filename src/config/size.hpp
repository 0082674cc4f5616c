#pragma once

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

// "1048576", "64K", "1M", "2G" (powers of 1024); no value for anything else. Shared by the daemon
// and the producers' library, so that both read a size alike.
inline std::optional<std::uint64_t> parse_size(const std::string& text) {
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || rest == text.data()) {
        return std::nullopt;
    }
    if (rest == end) {
        return value;
    }
    if (rest + 1 != end) {
        return std::nullopt;
    }
    int shift = 0;
    switch (std::toupper(static_cast<unsigned char>(*rest))) {
        case 'K':
            shift = 10;
            break;
        case 'M':
            shift = 20;
            break;
        case 'G':
            shift = 30;
            break;
        default:
            return std::nullopt;
    }
    if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}
