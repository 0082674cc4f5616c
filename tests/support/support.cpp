#include "support/support.hpp"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        int flags = 0;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL)) {
            flags &= ~FS_APPEND_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }
    std::filesystem::remove_all(root, ignored);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return std::move(content).str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::vector<std::string> split_records(const std::string& content) {
    std::vector<std::string> records;
    std::size_t start = 0;
    for (auto end = content.find('\n'); end != std::string::npos; end = content.find('\n', start)) {
        records.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return records;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

process::process(const std::vector<std::string>& argv, const std::optional<std::string>& input) {
    int out[2];
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (input && ::pipe2(in, O_CLOEXEC) != 0)) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::dup2(input ? in[0] : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output_fd = out[0];
    if (input) {
        ::close(in[0]);
        for (std::size_t done = 0; done < input->size();) {
            const ssize_t n = ::write(in[1], input->data() + done, input->size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::close(in[1]);
    }
}

process::~process() {
    if (!status) {
        ::kill(child, SIGKILL);
        wait(5s);
    }
    ::close(output_fd);
}

void process::signal(int number) const { ::kill(child, number); }

bool process::read_some(std::chrono::milliseconds timeout) {
    pollfd entry{output_fd, POLLIN, 0};
    char buffer[4096];
    const ssize_t n = ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0
                          ? ::read(output_fd, buffer, sizeof buffer)
                          : 0;
    captured.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return n > 0;
}

bool process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!contains(captured, text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !read_some(left)) {
            return contains(captured, text);
        }
    }
    return true;
}

int process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status) {
        int raw = 0;
        if (::waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
        }
        read_some(1ms);
    }
    while (read_some(0ms)) {
    }
    return *status;
}

int run(const std::vector<std::string>& argv, std::string& output,
        const std::optional<std::string>& input) {
    process child(argv, input);
    const int status = child.wait();
    output = child.output();
    return status;
}

void daemon::configure(const std::string& top, const std::string& queue,
                       const std::string& consumer) {
    write_file(config(), top + "queue: {endpoint: '" + endpoint() + "'" + queue +
                             "}\nconsumer: {output_file: '" + output().string() + "'" + consumer +
                             "}\n");
}

bool daemon::start(const std::vector<std::string>& launcher) {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {VELMOEVENTSD_PATH, "--config", config().string()});
    child = std::make_unique<process>(argv);
    return child->wait_for_output("Service ready");
}

int daemon::stop(int signal_number) {
    child->signal(signal_number);
    return child->wait();
}

std::vector<std::string> daemon::wait_for_records(std::size_t count,
                                                  std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto records = split_records(read_file(output()));
    while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        records = split_records(read_file(output()));
    }
    return records;
}

producer::producer(const std::string& endpoint) : socket(context, zmq::socket_type::push) {
    socket.set(zmq::sockopt::linger, -1);
    socket.set(zmq::sockopt::sndhwm, 64);
    socket.connect(endpoint);
}

void producer::send(const std::string& message, bool more) {
    socket.send(zmq::buffer(message), more ? zmq::send_flags::sndmore : zmq::send_flags::none);
}

void producer::flood(std::function<std::string(int)> record) {
    // A daemon that went away never leaves the flood, or the close, hanging.
    socket.set(zmq::sockopt::sndtimeo, 50);
    socket.set(zmq::sockopt::linger, 0);
    flooding = true;
    thread = std::thread([this, make = std::move(record)] {
        while (flooding) {
            if (socket.send(zmq::buffer(make(sent)), zmq::send_flags::none)) {
                ++sent;
            }
        }
    });
}

int producer::stop() {
    flooding = false;
    if (thread.joinable()) {
        thread.join();
    }
    return sent;
}

small_disk::small_disk(const std::filesystem::path& mount_point) : root(mount_point) {
    std::filesystem::create_directories(root);
    const std::string image = root.string() + ".img";
    // No blocks reserved for root: the tests run as root and must really run out of space.
    is_mounted = std::system(("truncate -s 4M " + image + " && mkfs.ext4 -q -m 0 " + image +
                              " && mount -o loop " + image + " " + root.string())
                                 .c_str()) == 0;
}

small_disk::~small_disk() {
    if (is_mounted) {
        ::umount2(root.c_str(), MNT_DETACH);
    }
}

void small_disk::fill() const {
    std::ofstream filler(root / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), 4096) && filler.flush()) {
    }
}

void small_disk::free_space() const { std::filesystem::remove(root / "filler"); }

std::string access_acl(const std::filesystem::path& path) {
    acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    char* text = acl != nullptr ? ::acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE) : nullptr;
    const std::string result = text != nullptr ? text : "<none>";
    ::acl_free(text);
    ::acl_free(acl);
    return result;
}

std::string label(const std::filesystem::path& path) {
    char value[256];
    const ssize_t size = ::lgetxattr(path.c_str(), "trusted.mavi.label", value, sizeof value);
    return size < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(size));
}

int inode_flags(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = -1;
    if (fd >= 0) {
        ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
        ::close(fd);
    }
    return flags;
}

bool append_only(const std::filesystem::path& path) {
    return inode_flags(path) >= 0 && (inode_flags(path) & FS_APPEND_FL) != 0;
}

}  // namespace test
