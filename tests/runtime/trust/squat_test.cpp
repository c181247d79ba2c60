// Another user makes the names of segments before the owner first uses
// them, as attacks on /tmp names do. The segments that must be the owner's
// live where no one else can make anything, so their names cannot be taken;
// the others, when taken with the wrong owner or mode, are refused with a
// clear error and never mapped, and the owner runs without them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include <w32rt/debug_viewer.h>

#include "core/machine.h"
#include "core/segments.h"
#include "trust_test_util.h"

namespace trust_test {
namespace {

class SquatTest : public HostileTest {
protected:
    // Made by the hostile user before anything of the owner's exists; the
    // helper stays alive until the next one is run.
    std::string precreate(const std::string& path, const char* mode) {
        std::string result = attack({"precreate", path, mode});
        release_hostile();
        return result;
    }

    bool said(const std::string& text) {
        std::vector<std::string> texts = debug_texts();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
    }
};

TEST_F(SquatTest, NamesTakenBeforeTheOwnersFirstUseAreRefusedAndTheOwnerRunsOn) {
    w32rt::Machine& machine = w32rt::Machine::current();
    auto top = [&](const char* what) { return "/dev/shm" + machine.shm_name(what); };
    // The segments any user may make, taken with modes that keep the owner
    // out of them (or the attacker in control), and the owner's own tables
    // at the top of /dev/shm, where a user who is no administrator keeps
    // them.
    EXPECT_EQ(precreate(top("objects"), "644"), "made");
    EXPECT_EQ(precreate(top("atoms"), "600"), "made");
    EXPECT_EQ(precreate(top("dbwin"), "644"), "made");
    EXPECT_EQ(precreate(top("dbwin.viewer"), "644"), "made");
    EXPECT_EQ(precreate(top(("objects.u" + std::to_string(geteuid())).c_str()), "666"), "made");
    EXPECT_EQ(precreate(top(("tokens.u" + std::to_string(geteuid())).c_str()), "666"), "made");
    // A folder posing as the administrators' folder, with a directory in it.
    std::mt19937_64 rng(42);
    char fake[40];
    snprintf(fake, sizeof fake, "%016llx%016llx", (unsigned long long)rng(), (unsigned long long)rng());
    const std::string fake_folder = "/dev/shm" + machine.shm_name(fake);
    EXPECT_EQ(attack({"mkdir", fake_folder}), "made");
    release_hostile();
    EXPECT_EQ(precreate(fake_folder + "/etw.directory", "666"), "made");
    EXPECT_EQ(precreate(fake_folder + "/registry", "666"), "made");
    // The key file that names the real folder cannot be made in the root.
    EXPECT_EQ(precreate(root() + "/w32rt.shm.squatted", "600"), "denied");

    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    expect_owner_unharmed("names taken in advance", true);

    // The real folder is the owner's, with its segments, and the fake one
    // was never used.
    std::vector<Target> targets = list_targets(root());
    ASSERT_EQ(paths_of(targets, "directory").size(), 1u);
    EXPECT_EQ(paths_of(targets, "directory").front().rfind(fake_folder, 0), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat((fake_folder + "/etw.directory").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 16) << "left as the attacker made it";
    // Nothing can be made in the real folder by another user.
    std::string folder = paths_of(targets, "directory").front();
    folder.resize(folder.rfind('/'));
    EXPECT_EQ(attack({"plant", folder, "etw.s0.999"}), "denied");
    release_hostile();

    // What was taken is refused with the reason and the fix, never used.
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    SetLastError(0);
    EXPECT_EQ(CreateEventA(&sa, TRUE, FALSE, "Global\\TrustOpenToAll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_EQ(RegisterWindowMessageA("TrustTestMessage2"), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    SetLastError(0);
    EXPECT_EQ(w32rt::DebugViewer::attach(), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(said("refused shared memory " + top("objects") + ": owned by uid " + std::to_string(hostile_uid_)));
    EXPECT_TRUE(said("rm " + top("objects")));
    EXPECT_TRUE(said("refused shared memory " + top("atoms")));
    // The owner's own tables are where no one else writes, not at the top.
    EXPECT_EQ(paths_of(targets, "own-objects").front().find("/dev/shm" + machine.shm_name("objects.u")),
              std::string::npos);
}

}  // namespace
}  // namespace trust_test
