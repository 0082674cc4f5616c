#pragma once

#include <arpa/inet.h>
#include <nats/nats.h>
#include <netinet/in.h>

#include <array>
#include <cstring>
#include <set>

#include "support/jetstream.hpp"
#include "support/support.hpp"

// Real nats-server processes for the forwarding tests, and a client to look into the stream.
namespace test {

// Every byte value, newlines and NULs among them, in a different order in each record.
inline std::string record(int i) {
    std::string bytes = std::to_string(i) + "\n";
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<char>((b + i) % 256));
    }
    return bytes.substr(0, bytes.size() - static_cast<std::size_t>(i % 200));
}

// How many of the captured lines hold `text`.
inline std::size_t logged(const std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt>& log,
                          const std::string& part) {
    std::size_t found = 0;
    for (const auto& line : log->last_formatted()) {
        found += contains(line, part) ? 1 : 0;
    }
    return found;
}

// A TCP listener on 127.0.0.1 that the kernel accepts connections for and that never speaks;
// with `port` 0, a port free at the time of asking.
struct listener {
    explicit listener(int backlog = 64) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(fd, raw, size) != 0 || ::listen(fd, backlog) != 0 ||
            ::getsockname(fd, raw, &size) != 0) {
            ADD_FAILURE() << "listener: " << std::strerror(errno);
        }
        port = ntohs(address.sin_port);
    }
    ~listener() { ::close(fd); }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
};

inline int free_port() { return listener().port; }

// One nats-server with JetStream, or several in one cluster; each node keeps its store in a
// folder of its own, so that a killed node started again has its data back.
class brokers {
public:
    explicit brokers(int count) {
        for (int i = 0; i < count; ++i) {
            ports.emplace_back(free_port(), free_port());
        }
        nodes.resize(ports.size());
        for (int i = 0; i < count; ++i) {
            start(i);
        }
    }
    void start(int i) {
        std::string line = "exec nats-server -a 127.0.0.1 -js -n node" + std::to_string(i) +
                           " -p " + std::to_string(ports[i].first) + " -sd " +
                           (dir / std::to_string(i)).string();
        if (ports.size() > 1) {
            line += " --cluster_name velmo --cluster nats://127.0.0.1:" +
                    std::to_string(ports[i].second) + " --routes ";
            for (const auto& [client, route] : ports) {
                line += "nats://127.0.0.1:" + std::to_string(route) + ",";
            }
        }
        nodes[i] = std::make_unique<process>(line);
        EXPECT_TRUE(nodes[i]->wait_for_output("Server is ready")) << nodes[i]->output();
    }
    void kill(int i) {
        nodes[i]->signal(SIGKILL);
        nodes[i].reset();
    }
    std::vector<std::string> urls() const {
        std::vector<std::string> all;
        all.reserve(ports.size());
        for (const auto& [client, route] : ports) {
            all.push_back("nats://127.0.0.1:" + std::to_string(client));
        }
        return all;
    }

    temp_dir dir;
    std::vector<std::pair<int, int>> ports;
    std::vector<std::unique_ptr<process>> nodes;
};

// The stream "EVENTS" on "velmo.events", created here as an operator would, then read back.
class stream {
public:
    stream(const brokers& cluster, int replicas) {
        const auto urls = cluster.urls();
        std::vector<const char*> servers;
        servers.reserve(urls.size());
        for (const auto& url : urls) {
            servers.push_back(url.c_str());
        }
        natsOptions* options = nullptr;
        natsOptions_Create(&options);
        natsOptions_SetServers(options, servers.data(), static_cast<int>(servers.size()));
        natsOptions_SetMaxReconnect(options, -1);
        natsConnection_Connect(&nc, options);
        natsOptions_Destroy(options);
        natsConnection_JetStream(&js, nc, nullptr);
        // A cluster takes a moment to elect the leader that creates streams.
        EXPECT_TRUE(eventually([&] { return add_events_stream(js, replicas, 10min); }, 60s));
    }
    ~stream() {
        jsCtx_Destroy(js);
        natsConnection_Destroy(nc);
    }
    std::uint64_t count() const {
        jsStreamInfo* info = nullptr;
        if (js_GetStreamInfo(&info, js, "EVENTS", nullptr, nullptr) != NATS_OK) {
            return 0;
        }
        const std::uint64_t messages = info->State.Msgs;
        jsStreamInfo_Destroy(info);
        return messages;
    }
    // Which node of `brokers` leads the stream now ("node<i>"), or -1 if none does.
    int leader() const {
        jsStreamInfo* info = nullptr;
        if (js_GetStreamInfo(&info, js, "EVENTS", nullptr, nullptr) != NATS_OK) {
            return -1;
        }
        const std::string name = info->Cluster != nullptr && info->Cluster->Leader != nullptr
                                     ? info->Cluster->Leader
                                     : "";
        jsStreamInfo_Destroy(info);
        return name.starts_with("node") ? std::stoi(name.substr(4)) : -1;
    }
    // The message at `sequence`: its bytes and its Nats-Msg-Id. A cluster back from an outage
    // may take a moment to answer.
    std::pair<std::string, std::string> get(std::uint64_t sequence) const {
        natsMsg* msg = nullptr;
        const char* id = "";
        if (!eventually([&] {
                return js_GetMsg(&msg, js, "EVENTS", sequence, nullptr, nullptr) == NATS_OK;
            })) {
            return {};
        }
        natsMsgHeader_Get(msg, "Nats-Msg-Id", &id);
        std::pair<std::string, std::string> got(
            std::string(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg))),
            id);
        natsMsg_Destroy(msg);
        return got;
    }

    // The stream holds record(0) to record(count - 1) once each, in order, byte-exact, each
    // under an id of its own.
    void expect_records(int count) const {
        ASSERT_TRUE(eventually([&] { return this->count() >= std::uint64_t(count); }, 120s));
        std::set<std::string> ids;
        for (int i = 0; i < count; ++i) {
            const auto [bytes, id] = get(std::uint64_t(i) + 1);
            ASSERT_EQ(bytes, record(i)) << i;
            ASSERT_TRUE(ids.insert(id).second) << id;
        }
        EXPECT_EQ(this->count(), std::uint64_t(count));
    }

private:
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
};

}  // namespace test
