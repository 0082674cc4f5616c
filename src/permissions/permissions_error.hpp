#pragma once

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace permissions {

// A file-protection failure; what() is the formatted message, without prefix.
class permissions_error : public std::runtime_error {
public:
    template <typename... Args>
    explicit permissions_error(fmt::format_string<Args...> format, Args&&... args)
        : std::runtime_error(fmt::format(format, std::forward<Args>(args)...)) {}
};

}  // namespace permissions
