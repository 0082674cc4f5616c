#include "forward/nats_sink.hpp"

#include <fcntl.h>
#include <nats/nats.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <unordered_map>

#include "io/unique_fd.hpp"

namespace forward {

namespace {

void check(natsStatus status, const char* what) {
    if (status != NATS_OK) {
        throw std::runtime_error(
            fmt::format("Cannot forward to NATS: {}: {}", what, natsStatus_GetText(status)));
    }
}

std::string describe(natsStatus status, const char* text) {
    return text != nullptr && *text != '\0' ? text : natsStatus_GetText(status);
}

// The library reads its files only when it connects, and says little when one is missing.
void check_readable(const std::string& file, const char* what) {
    if (!file.empty() && !io::unique_fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC))) {
        throw std::runtime_error(
            fmt::format("cannot read the {} file {}: {}", what, file, std::strerror(errno)));
    }
}

}  // namespace

struct nats_sink::connection {
    natsOptions* options = nullptr;
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    std::string subject;
    std::string servers;
    std::string creds;
    std::string tls_ca;
    int64_t window = 0;
    events handlers;
    std::mutex mutex;
    std::condition_variable closed_cv;
    bool closed = false;
    // Messages in flight and the tag each was published under; the acknowledgement handler
    // is told only the message.
    std::unordered_map<const natsMsg*, std::uint64_t> tags;
    // Which connection the messages in flight went out on, counted by reconnections.
    std::uint64_t tags_epoch = 0;
    natsStatistics* stats = nullptr;
    std::minstd_rand jitter{std::random_device{}()};

    static void on_change(natsConnection* /*nc*/, void* self) {
        static_cast<connection*>(self)->handlers.changed();
    }
    static void on_closed(natsConnection* /*nc*/, void* self) {
        auto* link = static_cast<connection*>(self);
        {
            std::lock_guard lock(link->mutex);
            link->closed = true;
        }
        link->closed_cv.notify_all();
    }
    static void on_error(natsConnection* /*nc*/, natsSubscription* /*subscription*/,
                         natsStatus status, void* /*self*/) {
        spdlog::debug("NATS: {}", natsStatus_GetText(status));
    }
    // Attempts rounds of every server, 100 ms apart at first, then up to 5 s, with jitter so
    // that a fleet does not come back all at once.
    static int64_t delay(natsConnection* /*nc*/, int attempts, void* self) {
        auto* link = static_cast<connection*>(self);
        const int64_t base = std::min<int64_t>(int64_t{100} << std::min(attempts, 6), 5000);
        std::lock_guard lock(link->mutex);
        return base + static_cast<int64_t>(link->jitter() % static_cast<unsigned>(base / 4 + 1));
    }
    static void on_ack(jsCtx* /*js*/, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* self) {
        auto* link = static_cast<connection*>(self);
        std::uint64_t tag = 0;
        {
            std::lock_guard lock(link->mutex);
            const auto found = link->tags.find(msg);
            if (found != link->tags.end()) {
                tag = found->second;
                link->tags.erase(found);
            }
        }
        if (tag != 0) {
            if (ack != nullptr) {
                link->handlers.settled(tag, outcome::stored, {}, ack->Sequence);
            } else if (error != nullptr && error->Err == NATS_NO_RESPONDERS) {
                link->handlers.settled(tag, outcome::failed,
                                       "no stream answered for the subject " + link->subject +
                                           ": none takes it, or its leader is being elected",
                                       0);
            } else if (error != nullptr) {
                link->handlers.settled(tag,
                                       error->ErrCode == JSStreamMessageExceedsMaximumErr
                                           ? outcome::refused
                                           : outcome::failed,
                                       describe(error->Err, error->ErrText), 0);
            }
        }
        natsMsg_Destroy(msg);
    }
};

nats_sink::nats_sink(const settings::forward_settings& config, std::size_t window)
    : link(std::make_unique<connection>()) {
    link->subject = config.subject;
    check(nats_Open(-1), "library");
    check(natsStatistics_Create(&link->stats), "statistics");
    check(natsOptions_Create(&link->options), "options");
    auto* options = link->options;
    std::vector<const char*> urls;
    for (const auto& server : config.servers) {
        urls.push_back(server.c_str());
        link->servers += (link->servers.empty() ? "" : ", ") + server;
    }
    check(natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size())), "servers");
    link->creds = config.creds;
    link->tls_ca = config.tls_ca;
    if (!config.creds.empty()) {
        check(natsOptions_SetUserCredentialsFromFiles(options, config.creds.c_str(), nullptr),
              "creds");
    }
    if (!config.tls_ca.empty()) {
        check(natsOptions_SetSecure(options, true), "tls");
    }
    check(natsOptions_SetMaxReconnect(options, -1), "reconnect");
    check(natsOptions_SetCustomReconnectDelay(options, &connection::delay, link.get()),
          "reconnect");
    // Anything published while away would follow records the server never got: nothing is.
    check(natsOptions_SetReconnectBufSize(options, 1), "reconnect");
    check(natsOptions_SetRetryOnFailedConnect(options, true, &connection::on_change, link.get()),
          "connect");
    check(natsOptions_SetDisconnectedCB(options, &connection::on_change, link.get()), "events");
    check(natsOptions_SetReconnectedCB(options, &connection::on_change, link.get()), "events");
    check(natsOptions_SetClosedCB(options, &connection::on_closed, link.get()), "events");
    check(natsOptions_SetErrorHandler(options, &connection::on_error, link.get()), "events");
    // A broker that stops answering is noticed within half a minute, not the default minutes.
    check(natsOptions_SetPingInterval(options, 10000), "ping");
    check(natsOptions_SetMaxPingsOut(options, 2), "ping");
    // A broker that stops reading (stopped, say) would hold a publish, and with it the library's
    // lock and the stop, in a write for good: such a write fails instead and the link is dropped.
    check(natsOptions_SetWriteDeadline(options, 2000), "write deadline");
    link->window = static_cast<int64_t>(window);
}

nats_sink::~nats_sink() {
    if (link->nc != nullptr) {
        natsConnection_Close(link->nc);
        // The closed handler is the last one the library calls with this object.
        std::unique_lock lock(link->mutex);
        if (!link->closed_cv.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return link->closed; })) {
            // The library's threads may still call in: the connection is left to them rather
            // than freed under them, or the stop waits without end on a broker that is mute.
            lock.unlock();
            static_cast<void>(link.release());
            return;
        }
    }
    jsCtx_Destroy(link->js);
    natsConnection_Destroy(link->nc);
    natsOptions_Destroy(link->options);
    natsStatistics_Destroy(link->stats);
}

void nats_sink::start(events handlers) {
    // A start that failed before may be tried again; a connection made stays.
    if (link->nc == nullptr) {
        link->handlers = std::move(handlers);
        // Files that are not there yet (a secret not yet deployed) may be later.
        check_readable(link->creds, "credentials");
        check_readable(link->tls_ca, "CA");
        if (!link->tls_ca.empty() &&
            natsOptions_LoadCATrustedCertificates(link->options, link->tls_ca.c_str()) != NATS_OK) {
            natsStatus status = NATS_OK;
            const char* text = nats_GetLastError(&status);
            throw std::runtime_error(fmt::format("cannot load the CA file {}: {}", link->tls_ca,
                                                 describe(status, text)));
        }
        const natsStatus status = natsConnection_Connect(&link->nc, link->options);
        if (status != NATS_OK && status != NATS_NOT_YET_CONNECTED) {
            link->nc = nullptr;
            check(status, "connect");
        }
    }
    jsOptions options;
    jsOptions_Init(&options);
    options.PublishAsync.AckHandler = &connection::on_ack;
    options.PublishAsync.AckHandlerClosure = link.get();
    // Room for records given up in a rewind and not yet timed out, so a publish never stalls.
    options.PublishAsync.MaxPending = 2 * link->window;
    check(natsConnection_JetStream(&link->js, link->nc, &options), "JetStream");
}

std::optional<std::string> nats_sink::unavailable() {
    if (link->nc != nullptr && natsConnection_Status(link->nc) == NATS_CONN_STATUS_CONNECTED) {
        return std::nullopt;
    }
    const char* text = nullptr;
    const natsStatus status =
        link->nc != nullptr ? natsConnection_GetLastError(link->nc, &text) : NATS_OK;
    return fmt::format("not connected to {}{}{}", link->servers, status != NATS_OK ? ": " : "",
                       status != NATS_OK ? describe(status, text) : "");
}

std::optional<sink::refusal> nats_sink::publish(std::string_view id, std::string_view record,
                                                std::uint64_t tag) {
    natsMsg* msg = nullptr;
    natsStatus status = natsMsg_Create(&msg, link->subject.c_str(), nullptr, record.data(),
                                       static_cast<int>(record.size()));
    if (status != NATS_OK) {
        return refusal{false, natsStatus_GetText(status)};
    }
    const std::string msg_id(id);
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = msg_id.c_str();
    options.MaxWait = ack_wait_ms;
    const natsMsg* const sent = msg;
    {
        std::uint64_t epoch = 0;
        natsConnection_GetStats(link->nc, link->stats);
        natsStatistics_GetCounts(link->stats, nullptr, nullptr, nullptr, nullptr, &epoch);
        std::lock_guard lock(link->mutex);
        // A message sent on the connection before may be lost without a word until it times
        // out, and one sent now would overtake it.
        if (!link->tags.empty() && epoch != link->tags_epoch) {
            natsMsg_Destroy(msg);
            return refusal{false, "reconnected with records in flight"};
        }
        link->tags_epoch = epoch;
        link->tags.emplace(sent, tag);
    }
    status = js_PublishMsgAsync(link->js, &msg, &options);
    if (status == NATS_OK) {
        return std::nullopt;
    }
    {
        std::lock_guard lock(link->mutex);
        link->tags.erase(sent);
    }
    natsMsg_Destroy(msg);
    return refusal{status == NATS_MAX_PAYLOAD, natsStatus_GetText(status)};
}

void nats_sink::forget() {
    natsMsgList pending{};
    if (js_PublishAsyncGetPendingList(&pending, link->js) != NATS_OK) {
        return;
    }
    {
        std::lock_guard lock(link->mutex);
        for (int i = 0; i < pending.Count; ++i) {
            link->tags.erase(pending.Msgs[i]);
        }
    }
    natsMsgList_Destroy(&pending);
}

}  // namespace forward
