#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test {

// Replaces the default logger for the life of the object and keeps every line as
// "level: message", so a test can check exactly what was logged.
class log_capture {
public:
    explicit log_capture(spdlog::level::level_enum level = spdlog::level::trace)
        : sink(std::make_shared<line_sink>()), previous(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_level(level);
        spdlog::set_default_logger(logger);
    }
    ~log_capture() { spdlog::set_default_logger(previous); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<std::string> lines() const { return sink->snapshot(); }
    std::size_t count(const std::string& line) const {
        auto all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }
    std::size_t count_prefix(const std::string& prefix) const {
        auto all = lines();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](auto& line) { return line.rfind(prefix, 0) == 0; }));
    }

private:
    class line_sink : public spdlog::sinks::base_sink<std::mutex> {
    public:
        std::vector<std::string> snapshot() {
            std::lock_guard lock(mutex_);
            return captured;
        }

    protected:
        void sink_it_(const spdlog::details::log_msg& message) override {
            captured.push_back(std::string(spdlog::level::to_string_view(message.level).data()) +
                               ": " + std::string(message.payload.data(), message.payload.size()));
        }
        void flush_() override {}

    private:
        std::vector<std::string> captured;
    };

    std::shared_ptr<line_sink> sink;
    std::shared_ptr<spdlog::logger> previous;
};

}  // namespace test
