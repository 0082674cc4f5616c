#pragma once

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace seal {

// A seal or sealing key that cannot be read, written or continued; what() is the formatted
// message, without prefix.
class seal_error : public std::runtime_error {
public:
    template <typename... Args>
    explicit seal_error(fmt::format_string<Args...> format, Args&&... args)
        : std::runtime_error(fmt::format(format, std::forward<Args>(args)...)) {}
};

}  // namespace seal
