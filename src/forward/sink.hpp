#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace forward {

enum class outcome {
    stored,
    // Not stored this time; a later attempt may be.
    failed,
    // Never will be: the broker refuses it for good.
    refused,
};

// A broker beyond the host that stores records and says, for each one, whether it did. An id
// the broker has stored before is stored once. Its calls come from one thread; its events come
// from threads of its own, even after it is gone when it could not close in time.
class sink {
public:
    struct refusal {
        bool for_good;
        std::string reason;
    };
    struct events {
        // `place`: where the broker put a stored record among all it holds, rising in the order
        // it stored them (a duplicate is at the place of the first copy); 0 when not known.
        std::function<void(std::uint64_t tag, outcome result, std::string_view reason,
                           std::uint64_t place)>
            settled;
        // The connection came or went.
        std::function<void()> changed;
    };

    virtual ~sink() = default;
    // Starts connecting, in the background where it can: never waits long for a broker.
    virtual void start(events handlers) = 0;
    // Why no record can be published now; empty when one can.
    virtual std::optional<std::string> unavailable() = 0;
    // Sends one record. Once sent (empty result) its outcome is always reported, once, under
    // `tag`; otherwise why it was not sent.
    virtual std::optional<refusal> publish(std::string_view id, std::string_view record,
                                           std::uint64_t tag) = 0;
    // Drops every record still waiting for its outcome: none of them is reported any more.
    virtual void forget() = 0;
};

}  // namespace forward
