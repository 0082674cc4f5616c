#include "permissions/protected_file.hpp"

#include <mavi_standin.h>

#include "support/support.hpp"

using namespace test;
using permissions::permissions_error;
using permissions::protected_file;
using testing::HasSubstr;
using testing::StartsWith;
using testing::ThrowsMessage;

TEST(protected_file, creates_privately_and_failures_name_the_step_and_leave_the_rest_alone) {
    temp_dir dir;
    // A file it creates has no name until it is protected, and is private, as are the folders
    // made above it, whatever the umask.
    for (const mode_t mask : {0, 077}) {
        const auto folder = dir / ("umask" + std::to_string(mask));
        const mode_t previous = ::umask(mask);
        protected_file created(folder / "logs" / "new.log", true);
        ::umask(previous);
        EXPECT_FALSE(std::filesystem::exists(folder / "logs" / "new.log"));
        created.open_append_only(std::ios_base::out);
        EXPECT_EQ(shell("cd " + folder.string() + " && stat -c %a . logs logs/new.log"),
                  "755\n755\n600\n");
    }
    const auto log = dir / "events.log";
    write_file(log, "earlier\n");
    ASSERT_EQ(::chown(log.c_str(), 0, 4242), 0);
    protected_file file(log, false);
    const int released = mavi_standin_release_count();
    for (const auto& [step, error] : std::vector<std::pair<std::function<void()>, std::string>>{
             {[&] { file.set_owner("no-such-user", "velmo-admin"); },
              "Failed to resolve uid for no-such-user, err: "},
             {[&] { file.set_owner("root", "no-such-group"); },
              "Failed to resolve gid for no-such-group, err: "},
             {[&] { file.set_acl("u::rw-,g::r--,o::---,g:no-such-group:r"); },
              "Failed to recalculate ACL mask, err: Invalid argument"},
             {[&] { permissions::apply_acl(dir / "absent", "u::rw-,g::r--,o::---"); },
              "Failed to set ACL, err: No such file or directory"},
             {[&] { file.set_mac_label("High"); }, "failed to parse mac label: High"},
             {[&] { protected_file absent(dir / "absent.log", false); },
              "failed to unset append-only attribute: No such file or directory"}}) {
        EXPECT_THAT(step, ThrowsMessage<permissions_error>(StartsWith(error)));
    }
    // Nothing changed by the failed steps; a label that did not parse is released too.
    EXPECT_EQ(mavi_standin_release_count(), released + 1);
    file.set_mac_label("3:Secret:12");
    EXPECT_EQ(mavi_standin_release_count(), released + 2);
    EXPECT_EQ(shell("cd " + dir.root.string() + " && stat -c %g events.log && getfattr " +
                    "--only-values -n trusted.mavi.label events.log"),
              "4242\n3:Secret:12");
    EXPECT_THROW(protected_file("bare-name.log", true), std::filesystem::filesystem_error);
    std::filesystem::remove(log);
    EXPECT_THROW(file.open_append_only(std::ios_base::out | std::ios_base::app),
                 std::filesystem::filesystem_error);
    EXPECT_FALSE(file.descriptor());
}

TEST(protected_file, refuses_any_path_that_others_than_root_could_replace_before_changing_it) {
    // A layout made as root in a fresh folder T, the log's path in it, and the refusal (none:
    // the log is protected there).
    // clang-format off
    for (const auto& [layout, log, refusal] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"mkdir -p real/logs && ln -s real/logs link", "link/x.log", ""},
             {"mkdir -m 1777 tmp && mkdir tmp/logs", "tmp/logs/x.log", ""},
             {"touch x.log && chmod 640 x.log && chattr +a x.log", "x.log", ""},
             {"mkdir real && ln -s $PWD/real link && chown -h nobody link", "link/x.log",
              "Refusing T/link: it is a link owned by nobody, not root"},
             {"mkdir -p home/logs && chown nobody home", "home/logs/x.log",
              "Refusing T/home/logs: its folder T/home may be changed by others than root "
              "(owner nobody, mode 755)"},
             {"mkdir -m 1777 tmp && mkdir tmp/logs && chown nobody tmp/logs", "tmp/logs/x.log",
              "Refusing T/tmp/logs: it belongs to nobody, not root, in the shared folder T/tmp"},
             {"mkdir -m 1777 tmp", "tmp/x.log", "Log folder T/tmp is writable by others than root "
              "(owner root, mode 1777): a local user could replace the event log"},
             {"mkdir -m 1755 logs", "logs/x.log", "Log folder T/logs is sticky (mode 1755)"},
             {"ln -s loop loop", "loop/x.log",
              "Failed to open folder T/loop, err: Too many levels of symbolic links"},
             {"touch file", "file/x.log", "Failed to open folder T/file, err: Not a directory"},
             {"touch x.log && chown nobody x.log", "x.log",
              "Refusing to adopt T/x.log: it is owned by nobody, not root; move it aside"},
             {"touch x.log && setfacl -m u:nobody:rw x.log", "x.log",
              "Refusing to adopt T/x.log: its mode 664 lets others than root write to it"},
             {"touch x.log && chmod 602 x.log", "x.log", "its mode 602 lets others than root"}}) {
        // clang-format on
        temp_dir dir;
        const std::string t = dir.root.string(), expected = replace_all(refusal, "T/", t + "/");
        const std::string tree = "cd " + t + " && find . -printf '%p %U %m %n\\n' | sort && " +
                                 "getfacl -RPp . && lsattr -R . 2>/dev/null";
        ASSERT_EQ(shell("cd " + t + " && chmod 755 . && " + layout), "") << layout;
        const std::string before = shell(tree);
        try {
            protected_file(dir / log, true)
                .set_directory_acl("u::rwx,g::r-x,o::r-x")
                .open_append_only(std::ios_base::out | std::ios_base::app);
            EXPECT_EQ(refusal, "") << layout;
            EXPECT_EQ(shell("lsattr " + (dir / log).string()).substr(5, 1), "a") << layout;
        } catch (const permissions_error& error) {
            EXPECT_THAT(error.what(), HasSubstr(expected)) << layout;
            EXPECT_EQ(shell(tree), before) << layout;
        }
    }
}
