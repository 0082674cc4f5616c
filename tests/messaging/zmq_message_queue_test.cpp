#include "messaging/zmq_message_queue.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>

#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/zmq_producer.hpp"

using namespace std::chrono_literals;

namespace {

std::string ipc(const test::temp_dir& dir, const std::string& name = "queue.sock") {
    return "ipc://" + (dir / name).string();
}

ino_t test_inode(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::size_t count_entries(const char* folder) {
    auto entries = std::filesystem::directory_iterator(folder);
    return static_cast<std::size_t>(std::distance(entries, std::filesystem::directory_iterator()));
}

// Waits until the producer's frames have crossed into the queue's socket.
std::optional<std::string> receive_soon(zmq_message_queue& queue) {
    for (int i = 0; i < 500; ++i) {
        if (auto message = queue.receive(false)) {
            return message;
        }
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

// Puts a listening socket where the service manager would, on descriptor 3 with the
// environment that announces it, and takes it all back afterwards.
class inherited_socket {
public:
    inherited_socket(const std::filesystem::path& path, int count) {
        saved = ::dup(3);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 16), 0);
        if (fd != 3) {
            ::dup2(fd, 3);
            ::close(fd);
        }
        ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
        ::setenv("LISTEN_FDS", std::to_string(count).c_str(), 1);
    }
    ~inherited_socket() {
        ::unsetenv("LISTEN_PID");
        ::unsetenv("LISTEN_FDS");
        if (saved >= 0) {
            ::dup2(saved, 3);
            ::close(saved);
        } else {
            ::close(3);
        }
    }

private:
    int saved;
};

}  // namespace

TEST(zmq_message_queue, frames_arrive_byte_exact) {
    test::temp_dir dir;
    zmq_message_queue queue(ipc(dir));
    test::zmq_producer producer(ipc(dir));
    const std::string with_nul("a\0b\0\n", 5);
    std::string large(1 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7);
    }
    producer.send("");
    producer.send(with_nul);
    producer.send(large);
    EXPECT_EQ(queue.receive(true), std::string());
    EXPECT_EQ(queue.receive(true), with_nul);
    EXPECT_EQ(queue.receive(true), large);
}

TEST(zmq_message_queue, multipart_frames_come_out_one_at_a_time) {
    test::temp_dir dir;
    zmq_message_queue queue(ipc(dir));
    test::zmq_producer producer(ipc(dir));
    producer.send_more("one");
    producer.send_more("two");
    producer.send("three");
    EXPECT_EQ(queue.receive(true), "one");
    EXPECT_EQ(queue.receive(true), "two");
    EXPECT_EQ(queue.receive(true), "three");
}

TEST(zmq_message_queue, receive_without_waiting_and_receive_all) {
    test::log_capture log;
    test::temp_dir dir;
    zmq_message_queue queue(ipc(dir));
    EXPECT_EQ(queue.receive(false), std::nullopt);
    EXPECT_TRUE(queue.receive_all().empty());
    test::zmq_producer producer(ipc(dir));
    producer.send("first");
    producer.send("second");
    producer.send("third");
    ASSERT_EQ(receive_soon(queue), "first");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(queue.receive_all(), (std::vector<std::string>{"second", "third"}));
    EXPECT_EQ(log.count_prefix("error:"), 0U);
}

TEST(zmq_message_queue, shutdown_wakes_a_blocked_receive) {
    test::log_capture log;
    test::temp_dir dir;
    zmq_message_queue queue(ipc(dir));
    auto blocked = std::async(std::launch::async, [&] { return queue.receive(true); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    queue.shutdown();
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), std::nullopt);
    EXPECT_EQ(queue.receive(true), std::nullopt);
    queue.shutdown();
    EXPECT_EQ(log.count_prefix("error: failed to receive message: "), 2U);
}

TEST(zmq_message_queue, unbindable_endpoint_throws_and_leaves_nothing_open) {
    test::temp_dir dir;
    zmq_message_queue taken("tcp://127.0.0.1:*");
    const std::size_t descriptors = count_entries("/proc/self/fd");
    const std::size_t threads = count_entries("/proc/self/task");
    for (const std::string& endpoint :
         {std::string("nonsense"), std::string("ipc://") + (dir / "missing" / "q.sock").string(),
          std::string("tcp://127.0.0.1:notaport"), std::string("5555")}) {
        EXPECT_THROW(zmq_message_queue queue(endpoint), zmq::error_t) << endpoint;
    }
    EXPECT_EQ(count_entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
}

// Socket activation takes over descriptor 3 and the environment: do it in a child process,
// which leaves this one as it was.
template <typename Check>
void in_child_process(Check check) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Under socket activation with `inherited` sockets, a producer connected to `name` gets its
// record through; tells too whether the inherited socket's file is still the one at its path
// (a queue that bound the path itself would have replaced it).
bool served_under_activation(const test::temp_dir& dir, int inherited, const std::string& name,
                             bool& inherited_file_kept) {
    const auto activated = dir / "activated.sock";
    inherited_socket activation(activated, inherited);
    const auto inode = test_inode(activated);
    zmq_message_queue queue(ipc(dir, name));
    test::zmq_producer producer(ipc(dir, name));
    producer.send("through " + name);
    const bool served = receive_soon(queue) == "through " + name;
    inherited_file_kept = test_inode(activated) == inode;
    return served;
}

TEST(zmq_message_queue, adopts_exactly_one_inherited_socket) {
    test::temp_dir dir;
    in_child_process([&] {
        bool kept = false;
        return served_under_activation(dir, 1, "activated.sock", kept) && kept;
    });
}

TEST(zmq_message_queue, ignores_two_or_more_inherited_sockets) {
    test::temp_dir dir;
    in_child_process([&] {
        bool kept = false;
        return served_under_activation(dir, 2, "own.sock", kept) && kept;
    });
}
