#include "permissions/protected_file.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <mavi_standin.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/support.hpp"

using permissions::permissions_error;
using permissions::protected_file;

namespace {

template <typename Action>
void expect_error(Action action, const std::string& prefix) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << prefix;
    } catch (const permissions_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind(prefix, 0), 0U) << error.what();
    }
}

}  // namespace

TEST(protected_file, full_chain_protects_a_private_new_file_and_its_folder_again_and_again) {
    test::temp_dir dir;
    const auto path = dir / "logs" / "events.log";
    for (const std::string content : {"", "kept\n"}) {
        const mode_t previous = ::umask(0);
        protected_file file(path, true);
        ::umask(previous);
        struct stat info {};
        ::stat(path.c_str(), &info);
        if (content.empty()) {
            EXPECT_EQ(info.st_mode & 07777, 0600U);
        }
        EXPECT_FALSE(test::append_only(path));
        EXPECT_FALSE(file.descriptor());
        const int fd = file.set_directory_acl("u::rwx,g::r-x,o::r-x")
                           .set_owner("root", "velmo-admin")
                           .set_mac_label("0:High:0")
                           .set_acl("u::rw-,g::r--,o::---,g:velmo-audit:r")
                           .open_append_only(std::ios_base::out | std::ios_base::app);
        EXPECT_EQ(file.descriptor(), fd);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
        EXPECT_EQ(test::read_file(path), content);
        EXPECT_EQ(::write(fd, "kept\n", content.empty() ? 5 : 0), content.empty() ? 5 : 0);
        EXPECT_EQ(test::access_acl(dir / "logs"), "u::rwx,g::r-x,m::r-x,o::r-x");
        EXPECT_EQ(test::access_acl(path), "u::rw-,g::r--,g:velmo-audit:r--,m::r--,o::---");
        ::stat(path.c_str(), &info);
        EXPECT_EQ(info.st_uid, 0U);
        EXPECT_EQ(info.st_gid, ::getgrnam("velmo-admin")->gr_gid);
        EXPECT_EQ(test::label(path), "0:High:0");
        EXPECT_TRUE(test::append_only(path));
    }
}

TEST(protected_file, failures_name_the_step_and_leave_the_rest_alone) {
    test::temp_dir dir;
    const auto path = dir / "events.log";
    test::write_file(path, "earlier\n");
    ASSERT_EQ(::chown(path.c_str(), 4242, 4242), 0);
    protected_file file(path, false);
    expect_error([&] { file.set_owner("no-such-user", "velmo-admin"); },
                 "Failed to resolve uid for no-such-user, err: ");
    expect_error([&] { file.set_owner("root", "no-such-group"); },
                 "Failed to resolve gid for no-such-group, err: ");
    expect_error([&] { file.set_owner("root", ""); }, "Failed to resolve gid for , err: ");
    struct stat info {};
    ::stat(path.c_str(), &info);
    EXPECT_EQ(info.st_uid, 4242U);
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

    expect_error([&] { protected_file absent(dir / "absent.log", false); },
                 "failed to unset append-only attribute: No such file or directory");
    EXPECT_THROW(protected_file("bare-name.log", true), std::filesystem::filesystem_error);
    std::filesystem::remove(path);
    try {
        file.open_append_only(std::ios_base::out | std::ios_base::app);
        ADD_FAILURE() << "opened a removed file";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_FALSE(file.descriptor());
}
