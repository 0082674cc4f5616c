#include "permissions/protected_file.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <mavi_standin.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "support/file_facts.hpp"
#include "support/temp_dir.hpp"

using permissions::permissions_error;
using permissions::protected_file;

namespace {

const std::string file_acl = "u::rw-,g::r--,o::---,g:velmo-audit:r";

gid_t group_id(const char* name) {
    const struct group* entry = getgrnam(name);
    return entry == nullptr ? static_cast<gid_t>(-1) : entry->gr_gid;
}

void expect_error(const std::function<void()>& action, const std::string& text) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const permissions_error& error) {
        EXPECT_EQ(std::string(error.what()), text);
    }
}

// A file owned by nobody in particular, to show what a failed step left alone.
std::filesystem::path plain_file(const test::temp_dir& dir, const std::string& name) {
    auto path = dir / name;
    test::write_file(path, "earlier content\n");
    EXPECT_EQ(::chown(path.c_str(), 4242, 4242), 0);
    ::chmod(path.c_str(), 0644);
    return path;
}

}  // namespace

TEST(protected_file, a_new_file_is_private_before_its_acl) {
    test::temp_dir dir;
    const mode_t previous = ::umask(0);
    auto path = dir / "a" / "b" / "events.log";
    protected_file file(path, true);
    ::umask(previous);
    const auto info = test::status(path);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600U);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_FALSE(file.descriptor());
}

TEST(protected_file, full_chain_protects_the_file_and_its_directory) {
    test::temp_dir dir;
    auto path = dir / "logs" / "events.log";
    {
        protected_file file(path, true);
        int fd = file.set_directory_acl("u::rwx,g::r-x,o::r-x")
                     .set_owner("root", "velmo-admin")
                     .set_mac_label("0:High:0")
                     .set_acl(file_acl)
                     .open_append_only(std::ios_base::out | std::ios_base::app);
        EXPECT_EQ(file.descriptor(), fd);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
        EXPECT_EQ(::write(fd, "kept\n", 5), 5);
    }
    EXPECT_EQ(test::access_acl(dir / "logs"), "u::rwx,g::r-x,m::r-x,o::r-x");
    EXPECT_EQ(test::access_acl(path), "u::rw-,g::r--,g:velmo-audit:r--,m::r--,o::---");
    const auto info = test::status(path);
    EXPECT_EQ(info.st_uid, 0U);
    EXPECT_EQ(info.st_gid, group_id("velmo-admin"));
    EXPECT_EQ(test::label(path), "0:High:0");
    EXPECT_TRUE(test::append_only(path));

    // The next start finds the attribute set: it clears it, keeps the content, sets it again.
    protected_file again(path, true);
    EXPECT_FALSE(test::append_only(path));
    again.open_append_only(std::ios_base::out | std::ios_base::app);
    EXPECT_TRUE(test::append_only(path));
    EXPECT_EQ(test::read_file(path), "kept\n");
}

TEST(protected_file, refuses_anything_but_a_regular_file_and_changes_nothing) {
    test::temp_dir dir;
    auto target = plain_file(dir, "elsewhere");
    std::filesystem::create_directory(dir / "logs");
    std::filesystem::create_symlink(target, dir / "logs" / "link.log");
    std::filesystem::create_directory(dir / "logs" / "folder.log");
    ASSERT_EQ(::mkfifo((dir / "logs" / "fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::mknod((dir / "logs" / "device.log").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    (dir / "logs" / "socket.log").string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto directory_acl = test::access_acl(dir / "logs");
    for (const char* name : {"link.log", "folder.log", "fifo.log", "device.log", "socket.log"}) {
        for (bool create : {true, false}) {
            auto path = dir / "logs" / name;
            expect_error([&] { protected_file file(path, create); },
                         "output path is not a regular file: " + path.string());
        }
    }
    const auto info = test::status(target);
    EXPECT_EQ(info.st_uid, 4242U);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    EXPECT_EQ(test::label(target), "<none>");
    EXPECT_EQ(test::access_acl(dir / "logs"), directory_acl);
    EXPECT_EQ(test::read_file(target), "earlier content\n");
    ::close(listening);
}

TEST(protected_file, failures_name_the_step_and_leave_the_owner) {
    test::temp_dir dir;
    auto path = plain_file(dir, "events.log");
    protected_file file(path, false);
    const std::vector<std::pair<std::string, std::string>> lookups{
        {"no-such-user", "Failed to resolve uid for no-such-user, err: "},
        {"no-such-group", "Failed to resolve gid for no-such-group, err: "},
        {"", "Failed to resolve gid for , err: "}};
    for (const auto& [name, prefix] : lookups) {
        try {
            const bool user = prefix.find("uid") != std::string::npos;
            file.set_owner(user ? name : "root", user ? "velmo-admin" : name);
            ADD_FAILURE() << name;
        } catch (const permissions_error& error) {
            EXPECT_EQ(std::string(error.what()).rfind(prefix, 0), 0U) << error.what();
        }
    }
    EXPECT_EQ(test::status(path).st_uid, 4242U);
    expect_error([&] { file.set_acl("u::rw-,g::r--,o::---,g:no-such-group:r"); },
                 "Failed to recalculate ACL mask, err: Invalid argument");
    expect_error([&] { permissions::apply_acl(dir / "absent", "u::rw-,g::r--,o::---"); },
                 "Failed to set ACL, err: No such file or directory");

    const int released = mavi_standin_release_count();
    expect_error([&] { file.set_mac_label("High"); }, "failed to parse mac label: High");
    EXPECT_EQ(mavi_standin_release_count(), released + 1);
    file.set_mac_label("3:Secret:12");
    EXPECT_EQ(mavi_standin_release_count(), released + 2);
    EXPECT_EQ(test::label(path), "3:Secret:12");
}

TEST(protected_file, missing_files_fail_where_they_are_met) {
    test::temp_dir dir;
    expect_error([&] { protected_file file(dir / "absent.log", false); },
                 "failed to unset append-only attribute: No such file or directory");
    EXPECT_THROW(protected_file("bare-name.log", true), std::filesystem::filesystem_error);

    protected_file file(dir / "events.log", true);
    std::filesystem::remove(dir / "events.log");
    try {
        file.open_append_only(std::ios_base::out | std::ios_base::app);
        FAIL() << "opened a removed file";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(error.what()).find("file does not exist"), std::string::npos);
    }
    EXPECT_FALSE(file.descriptor());
}
