#include "permissions/protected_file.hpp"

#include <mavi_standin.h>

#include "support/support.hpp"

using namespace test;
using permissions::permissions_error;
using permissions::protected_file;
using testing::StartsWith;
using testing::ThrowsMessage;

TEST(protected_file, creates_privately_and_failures_name_the_step_and_leave_the_rest_alone) {
    temp_dir dir;
    // A file it creates is private from the start, whatever the umask.
    const mode_t previous = ::umask(0);
    protected_file created(dir / "logs" / "new.log", true);
    ::umask(previous);
    EXPECT_EQ(shell("stat -c %a " + (dir / "logs" / "new.log").string()), "600\n");
    const auto log = dir / "events.log";
    write_file(log, "earlier\n");
    ASSERT_EQ(::chown(log.c_str(), 4242, 4242), 0);
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
    EXPECT_EQ(shell("cd " + dir.root.string() + " && stat -c %u events.log && getfattr " +
                    "--only-values -n trusted.mavi.label events.log"),
              "4242\n3:Secret:12");
    EXPECT_THROW(protected_file("bare-name.log", true), std::filesystem::filesystem_error);
    std::filesystem::remove(log);
    EXPECT_THROW(file.open_append_only(std::ios_base::out | std::ios_base::app),
                 std::filesystem::filesystem_error);
    EXPECT_FALSE(file.descriptor());
}
