// RegNotifyChangeKeyValue within one process: filters, subtree scope,
// one-shot behaviour, deletion, closing, the synchronous form, and a watcher
// that fell behind the journal.
//
// "Did not fire" is never judged by waiting: a second watch (the sentinel)
// that must fire for the same change is armed alongside, and the watcher
// handles one journal entry for all watches at once, so once the sentinel
// is signalled the other watch has had its chance.
#include <string>
#include <thread>

#include "core/handle_table.h"
#include "registry/journal.h"
#include "registry/notifier.h"
#include "registry/registry.h"
#include "registry_test_util.h"

using namespace registry_test;

namespace {

constexpr DWORD kWaitMs = 10000;

class Event {
public:
    Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() {
        if (handle_) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    bool fired(DWORD ms = kWaitMs) const { return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0; }
    bool signalled_now() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }
    void close() {
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

class RegistryNotify : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Watched", &key_), ERROR_SUCCESS);
    }

    LSTATUS arm(HKEY key, const Event& event, DWORD filter, BOOL subtree = FALSE) {
        return RegNotifyChangeKeyValue(key, subtree, filter, event.get(), TRUE);
    }

    Key key_;
};

TEST_F(RegistryNotify, ValueChangeFiresOnceAndMustBeArmedAgain) {
    Event event;
    ASSERT_NE(event.get(), nullptr);
    ASSERT_EQ(arm(key_.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    EXPECT_FALSE(event.signalled_now());
    ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_TRUE(event.fired());

    ResetEvent(event.get());
    Event sentinel;
    ASSERT_EQ(arm(key_.get(), sentinel, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key_.get(), "V"), ERROR_SUCCESS);
    ASSERT_TRUE(sentinel.fired());
    EXPECT_FALSE(event.signalled_now()) << "a fired notification stays fired until armed again";

    ASSERT_EQ(arm(key_.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key_.get(), "V", 2), ERROR_SUCCESS);
    EXPECT_TRUE(event.fired());
}

TEST_F(RegistryNotify, FiltersSeparateNameAndValueChanges) {
    Event names, values;
    ASSERT_EQ(arm(key_.get(), names, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), values, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);

    ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_TRUE(values.fired());
    EXPECT_FALSE(names.signalled_now());

    ResetEvent(values.get());
    ASSERT_EQ(arm(key_.get(), values, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    Event names_sentinel;
    ASSERT_EQ(arm(key_.get(), names_sentinel, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES), ERROR_SUCCESS);
    Key sub;
    ASSERT_EQ(create_key(key_.get(), "Sub", &sub), ERROR_SUCCESS);
    ASSERT_TRUE(names.fired());
    ASSERT_TRUE(names_sentinel.fired());
    EXPECT_FALSE(values.signalled_now());

    // Deleting the sub-key is a name change too.
    ResetEvent(names.get());
    ASSERT_EQ(arm(key_.get(), names, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);
    sub.reset();
    ASSERT_EQ(RegDeleteKeyA(key_.get(), "Sub"), ERROR_SUCCESS);
    EXPECT_TRUE(names.fired());
}

TEST_F(RegistryNotify, SubtreeScopeReachesDeeperKeysOnly) {
    Key deep;
    ASSERT_EQ(create_key(key_.get(), "A\\B", &deep), ERROR_SUCCESS);
    Event flat, tree, at_deep;
    ASSERT_EQ(arm(key_.get(), flat, REG_NOTIFY_CHANGE_LAST_SET, FALSE), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), tree, REG_NOTIFY_CHANGE_LAST_SET, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(arm(deep.get(), at_deep, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);

    ASSERT_EQ(set_dword(deep.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_TRUE(tree.fired());
    ASSERT_TRUE(at_deep.fired());
    EXPECT_FALSE(flat.signalled_now());

    // A sibling tree of the watched key is not below it.
    Key sibling;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Other", &sibling), ERROR_SUCCESS);
    Event tree_again, sibling_sentinel;
    ASSERT_EQ(arm(key_.get(), tree_again, REG_NOTIFY_CHANGE_LAST_SET, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(arm(sibling.get(), sibling_sentinel, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(sibling.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_TRUE(sibling_sentinel.fired());
    EXPECT_FALSE(tree_again.signalled_now());
}

TEST_F(RegistryNotify, DeepKeysStillReachSubtreeWatchesHighUp) {
    std::string path;
    for (int i = 0; i < 40; ++i) path += (i ? "\\L" : "L") + std::to_string(i);
    Key deep;
    ASSERT_EQ(create_key(key_.get(), path.c_str(), &deep), ERROR_SUCCESS);
    Event tree;
    ASSERT_EQ(arm(HKEY_LOCAL_MACHINE, tree, REG_NOTIFY_CHANGE_LAST_SET, TRUE), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(deep.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_TRUE(tree.fired());
}

TEST_F(RegistryNotify, DeletingAKeyFiresWatchesOnItAndBelowWhateverTheFilter) {
    Key child;
    ASSERT_EQ(create_key(key_.get(), "Child", &child), ERROR_SUCCESS);
    Event on_key, on_child, on_parent;
    ASSERT_EQ(arm(key_.get(), on_key, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(arm(child.get(), on_child, REG_NOTIFY_CHANGE_SECURITY), ERROR_SUCCESS);
    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &software), ERROR_SUCCESS);
    ASSERT_EQ(arm(software.get(), on_parent, REG_NOTIFY_CHANGE_NAME), ERROR_SUCCESS);

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Watched"), ERROR_SUCCESS);
    EXPECT_TRUE(on_key.fired());
    EXPECT_TRUE(on_child.fired());
    EXPECT_TRUE(on_parent.fired());
    // Arming on a deleted key is refused.
    EXPECT_EQ(arm(key_.get(), on_key, REG_NOTIFY_CHANGE_LAST_SET), ERROR_KEY_DELETED);
}

TEST_F(RegistryNotify, ClosingTheKeySignalsItsWatchesAndReleasesThem) {
    auto& notifier = w32rt::registry::Registry::current().notifier();
    size_t handles = w32rt::HandleTable::instance().open_count();
    Event event;
    Key other;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Watched", &other, KEY_NOTIFY), ERROR_SUCCESS);
    Event on_other;
    ASSERT_EQ(arm(other.get(), on_other, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    // The same watch armed again stays one watch.
    ASSERT_EQ(arm(key_.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    EXPECT_EQ(notifier.armed_count(), 2u);

    key_.reset();
    EXPECT_TRUE(event.signalled_now()) << "closing signals at once";
    EXPECT_FALSE(on_other.signalled_now()) << "another handle of the key keeps its watch";
    EXPECT_EQ(notifier.armed_count(), 1u);
    other.reset();
    EXPECT_TRUE(on_other.signalled_now());
    EXPECT_EQ(notifier.armed_count(), 0u);
    // Our duplicates of the events are gone with the watches.
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), handles + 1);  // two events, key_ closed
}

TEST_F(RegistryNotify, EventClosedByTheCallerAfterArmingDoesNotMatter) {
    Event event;
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, duplicate, TRUE), ERROR_SUCCESS);
    CloseHandle(duplicate);
    ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_TRUE(event.fired());
}

TEST_F(RegistryNotify, SynchronousFormBlocksUntilTheChange) {
    std::atomic<LSTATUS> result{-1};
    std::thread waiter([&] {
        result = RegNotifyChangeKeyValue(key_.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
    });
    auto& notifier = w32rt::registry::Registry::current().notifier();
    ASSERT_TRUE(testing_support::eventually([&] { return notifier.armed_count() == 1; }));
    EXPECT_EQ(result.load(), -1);
    Key sub;
    ASSERT_EQ(create_key(key_.get(), "Sub", &sub), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(sub.get(), "V", 1), ERROR_SUCCESS);
    waiter.join();
    EXPECT_EQ(result.load(), ERROR_SUCCESS);
}

TEST_F(RegistryNotify, BadArgumentsAreRefused) {
    Event event;
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, 0, event.get(), TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, 0x20, event.get(), TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, REG_NOTIFY_CHANGE_NAME, key_.get(), TRUE),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegNotifyChangeKeyValue(reinterpret_cast<HKEY>(uintptr_t(0x40)), FALSE, REG_NOTIFY_CHANGE_NAME,
                                      event.get(), TRUE),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_THREAD_AGNOSTIC,
                                      event.get(), TRUE),
              ERROR_SUCCESS);
}

TEST_F(RegistryNotify, AWatcherThatFellBehindTheJournalFiresRatherThanMissAChange) {
    Key unrelated;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Unrelated", &unrelated), ERROR_SUCCESS);
    Event event;
    ASSERT_EQ(arm(unrelated.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    // More entries than the ring holds, published while the watcher cannot
    // read: none of them concerns the watched key, but the watcher cannot
    // know.
    auto& registry = w32rt::registry::Registry::current();
    std::unique_lock<std::mutex> slow = registry.notifier().hold_scans();
    std::vector<w32rt::registry::Change> changes(w32rt::registry::Journal::kCapacity + 8);
    for (auto& change : changes) change = {w32rt::registry::kChangeLastSet, {1, 999999}};
    registry.journal()->publish(changes);
    slow.unlock();
    EXPECT_TRUE(event.fired());
}

TEST_F(RegistryNotify, AnEntryItsWriterNeverFinishedFiresRatherThanMissAChange) {
    Key unrelated;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Unrelated", &unrelated), ERROR_SUCCESS);
    Event event, sentinel;
    ASSERT_EQ(arm(unrelated.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), sentinel, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    // The abandoned entry might have been about the unrelated key.
    w32rt::registry::Registry::current().journal()->abandon_entry();
    ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_TRUE(sentinel.fired());
    EXPECT_TRUE(event.fired());
    // Later changes are matched exactly again.
    ResetEvent(event.get());
    ResetEvent(sentinel.get());
    ASSERT_EQ(arm(unrelated.get(), event, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), sentinel, REG_NOTIFY_CHANGE_LAST_SET), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key_.get(), "V", 2), ERROR_SUCCESS);
    ASSERT_TRUE(sentinel.fired());
    EXPECT_FALSE(event.signalled_now());
}

}  // namespace
