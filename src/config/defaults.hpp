#pragma once

#include <cstddef>

// Defaults shared by the daemon, velmoevents-send and libvelmoevents, so that a producer with no
// configuration finds the daemon where a daemon with none listens.
namespace defaults {

inline constexpr const char* config_file = "/etc/velmoeventsd/config.yaml";
inline constexpr const char* endpoint = "ipc:///var/run/velmoeventsd.socket";
inline constexpr std::size_t max_record_size = std::size_t{1} << 20;

}  // namespace defaults
