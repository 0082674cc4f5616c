#pragma once

#include <nats/nats.h>

#include <array>
#include <chrono>

namespace test {

// Adds the stream the daemon's records go to, as an operator would: subject velmo.events, a file
// store, `replicas` copies, duplicates dropped within `window`. Whether the broker took it.
inline bool add_events_stream(jsCtx* js, int replicas, std::chrono::nanoseconds window) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    std::array<const char*, 1> subjects{"velmo.events"};
    config.Name = "EVENTS";
    config.Subjects = subjects.data();
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.Replicas = replicas;
    config.Duplicates = window.count();
    return js_AddStream(nullptr, js, &config, nullptr, nullptr) == NATS_OK;
}

}  // namespace test
