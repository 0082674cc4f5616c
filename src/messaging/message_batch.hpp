#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// Records received together, in arrival order, in one buffer that owns their bytes, with a view
// of each. Sized at the start for what the batch before it held, a batch costs two allocations
// however many records it holds, and more only when it outgrows that guess.
class message_batch {
public:
    static constexpr std::size_t max_records = 1024;
    static constexpr std::size_t max_bytes = std::size_t{1} << 20;

    message_batch() = default;
    message_batch(std::size_t expected_records, std::size_t expected_bytes) {
        views.reserve(expected_records);
        bytes.reserve(expected_bytes);
    }
    ~message_batch() = default;
    message_batch(message_batch&&) noexcept = default;
    message_batch& operator=(message_batch&&) noexcept = default;
    // A copy's views would still point into this batch's buffer.
    message_batch(const message_batch&) = delete;
    message_batch& operator=(const message_batch&) = delete;

    void add(const void* data, std::size_t size) {
        if (bytes.size() + size > bytes.capacity()) {
            move_to(std::max(2 * bytes.capacity(), bytes.size() + size));
        }
        const std::size_t begin = bytes.size();
        const auto* const first = static_cast<const char*>(data);
        bytes.insert(bytes.end(), first, first + size);
        views.emplace_back(bytes.data() + begin, size);
    }
    // Full once it holds max_records or max_bytes; a single larger record still fits alone.
    bool full() const { return views.size() >= max_records || bytes.size() >= max_bytes; }
    bool empty() const { return views.empty(); }
    std::size_t size() const { return views.size(); }
    std::size_t byte_size() const { return bytes.size(); }
    // Valid as long as the batch, which may be moved: a vector's buffer moves with it.
    std::span<const std::string_view> records() const { return views; }
    // The memory it holds, for bounds that count bytes.
    std::size_t footprint() const {
        return bytes.capacity() + views.capacity() * sizeof(std::string_view);
    }

private:
    // Into a larger buffer, the views with it.
    void move_to(std::size_t capacity) {
        std::vector<char> larger;
        larger.reserve(capacity);
        larger.assign(bytes.begin(), bytes.end());
        for (std::string_view& view : views) {
            view = {larger.data() + (view.data() - bytes.data()), view.size()};
        }
        bytes = std::move(larger);
    }

    std::vector<char> bytes;
    std::vector<std::string_view> views;
};
