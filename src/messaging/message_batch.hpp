#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Records received together, in arrival order, in one buffer that owns their bytes: a batch
// costs a few allocations however many records it holds.
class message_batch {
public:
    static constexpr std::size_t max_records = 1024;
    static constexpr std::size_t max_bytes = std::size_t{1} << 20;

    void add(const void* data, std::size_t size) {
        bytes.append(static_cast<const char*>(data), size);
        ends.push_back(bytes.size());
    }
    // Full once it holds max_records or max_bytes; a single larger record still fits alone.
    bool full() const { return ends.size() >= max_records || bytes.size() >= max_bytes; }
    bool empty() const { return ends.empty(); }
    std::size_t size() const { return ends.size(); }
    std::string_view operator[](std::size_t index) const {
        const std::size_t begin = index == 0 ? 0 : ends[index - 1];
        return std::string_view(bytes).substr(begin, ends[index] - begin);
    }
    // The memory it holds, for bounds that count bytes.
    std::size_t footprint() const {
        return bytes.capacity() + ends.capacity() * sizeof(std::size_t);
    }

private:
    std::string bytes;
    std::vector<std::size_t> ends;
};
