// Support for tests: a fresh machine root per test, and child processes that
// re-run the test binary in a helper role (so cross-process tests need no
// other program).
//
//   TEST_HELPER(writer) {            // runs in the child: argv holds the
//       ...                          // arguments given to spawn_helper
//       return 0;                    // exit code of the child
//   }
//
//   TEST_F(SomeTest, Crosses) {      // SomeTest derives from MachineTest
//       ChildProcess child = spawn_helper("writer", {"42"});
//       EXPECT_EQ(child.wait(), 0);
//   }
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A fixture that points the runtime at a new, empty machine root for the
// test and removes it (with its shared memory) afterwards.
class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

using HelperMain = int (*)(int argc, char** argv);

struct HelperRegistrar {
    HelperRegistrar(const char* name, HelperMain main);
};

#define TEST_HELPER(name)                                                                   \
    static int name##_helper_main(int argc, char** argv);                                   \
    static const ::testing_support::HelperRegistrar name##_helper_registrar(#name,          \
                                                                            &name##_helper_main); \
    static int name##_helper_main(int argc, char** argv)

struct SpawnOptions {
    // Run the child as this user (needs the superuser); -1 keeps ours. When
    // that user cannot reach the test program (a checkout below a folder only
    // its owner may enter), the child runs a copy of it in a folder of /tmp
    // that everyone can read, with the build's shared libraries beside it.
    int64_t uid = -1;
    int64_t gid = -1;
    // Extra environment, "NAME=value"; "NAME" alone removes the variable.
    std::vector<std::string> env;
    // The child's stderr goes into the same pipe as its stdout.
    bool merge_stderr = false;
};

// A child process running a helper, with a line-oriented pipe each way.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    // Exit code, or 128 + signal number when killed. -1 on time-out.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void kill(int signal);
    // One line from the child's stdout (without the newline); empty on EOF
    // or time-out.
    std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Waits for a line equal to `expected`; false on EOF (the child ended)
    // or time-out.
    bool expect_line(const std::string& expected, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void write_line(const std::string& line);

private:
    friend ChildProcess spawn_program(const std::string&, const std::vector<std::string>&, const SpawnOptions&);
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    bool eof_ = false;
    std::string pending_;
};

ChildProcess spawn_helper(const std::string& helper, const std::vector<std::string>& args = {},
                          const SpawnOptions& options = {});
// Another program (a tool of the tree): argv[0] is its path.
ChildProcess spawn_program(const std::string& path, const std::vector<std::string>& args = {},
                           const SpawnOptions& options = {});

// In a helper: one line to the parent (stdout, flushed) and one line from it.
void send_line(const std::string& line);
std::string receive_line();

// The uid of an unprivileged user for identity tests, or -1 when the tests
// do not run as the superuser (such tests skip themselves).
int64_t unprivileged_uid();

// Polls cond every millisecond until it holds or the time-out passes.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace testing_support
