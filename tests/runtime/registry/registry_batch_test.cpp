// Registry batches (w32rt/registry_batch.h): many edits as one transaction,
// seen by another process all at once or not at all.
#include <string>

#include <w32rt/registry_batch.h>

#include "registry_test_util.h"

using namespace registry_test;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

// Answers each request with "A B": whether Software\Batch\A and \B exist.
TEST_HELPER(batch_looker) {
    send_line("ready");
    while (receive_line() == "look") {
        Key a, b;
        send_line(std::to_string(open_key(HKEY_LOCAL_MACHINE, "Software\\Batch\\A", &a) == ERROR_SUCCESS) + " " +
                  std::to_string(open_key(HKEY_LOCAL_MACHINE, "Software\\Batch\\B", &b) == ERROR_SUCCESS));
    }
    return 0;
}

class RegistryBatch : public testing_support::MachineTest {};

TEST_F(RegistryBatch, AnotherProcessSeesTheEditsOnlyOnceCommittedAndARollbackLeavesNothing) {
    auto looker = spawn_helper("batch_looker");
    ASSERT_TRUE(looker.expect_line("ready"));
    auto look = [&] {
        looker.write_line("look");
        return looker.read_line();
    };

    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        ASSERT_EQ(w32rt::begin_registry_batch(), ERROR_SUCCESS);
        EXPECT_EQ(w32rt::begin_registry_batch(), ERROR_BUSY);
        Key a = make_key(HKEY_LOCAL_MACHINE, "Software\\Batch\\A");
        EXPECT_EQ(set_dword(a.get(), "V", 7), ERROR_SUCCESS);
        // The batch's own thread reads what it wrote.
        EXPECT_EQ(dword_of(a.get(), "V"), 7u);
        // A refused edit leaves nothing of itself; the batch goes on.
        EXPECT_EQ(RegDeleteValueA(a.get(), "Missing"), ERROR_FILE_NOT_FOUND);
        Key b = make_key(HKEY_LOCAL_MACHINE, "Software\\Batch\\B");
        EXPECT_EQ(look(), "0 0");
        EXPECT_EQ(w32rt::end_registry_batch(commit), ERROR_SUCCESS);
        EXPECT_EQ(look(), commit ? "1 1" : "0 0");
    }
    EXPECT_EQ(w32rt::end_registry_batch(true), ERROR_INVALID_FUNCTION);

    Key a;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Batch\\A", &a), ERROR_SUCCESS);
    EXPECT_EQ(dword_of(a.get(), "V"), 7u);
    looker.write_line("quit");
    EXPECT_EQ(looker.wait(), 0);
}

}  // namespace
