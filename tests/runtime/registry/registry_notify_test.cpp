// RegNotifyChangeKeyValue within one process: filters, subtree scope,
// one-shot behaviour, deletion, closing, the synchronous form, and journal
// entries the watcher cannot read.
//
// "Did not fire" is never judged by waiting: a second watch (the sentinel)
// that must fire for the same change is armed alongside, and the watcher
// handles one journal entry for all watches at once, so once the sentinel
// is signalled the other watch has had its chance.
#include <atomic>
#include <string>
#include <thread>
#include <tuple>

#include "core/handle_table.h"
#include "registry/journal.h"
#include "registry/notifier.h"
#include "registry/registry.h"
#include "registry_test_util.h"

using namespace registry_test;

namespace {

constexpr DWORD kName = REG_NOTIFY_CHANGE_NAME, kLastSet = REG_NOTIFY_CHANGE_LAST_SET;

class Event {
public:
    Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle_); }
    HANDLE get() const { return handle_; }
    bool fired() const { return WaitForSingleObject(handle_, 10000) == WAIT_OBJECT_0; }
    bool signalled_now() const { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

class RegistryNotify : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        key_ = make_key(HKEY_LOCAL_MACHINE, "Software\\Watched");
    }

    static LSTATUS arm(HKEY key, const Event& event, DWORD filter, BOOL subtree = FALSE) {
        return RegNotifyChangeKeyValue(key, subtree, filter, event.get(), TRUE);
    }
    static w32rt::registry::Registry& registry() { return w32rt::registry::Registry::current(); }

    Key key_;
};

TEST_F(RegistryNotify, FiltersAndScopeDecideWhichChangesFire) {
    std::string path;
    for (int i = 0; i < 40; ++i) path += (i ? "\\L" : "L") + std::to_string(i);
    Key deep = make_key(key_.get(), "A\\B"), sibling = make_key(HKEY_LOCAL_MACHINE, "Software\\Other"),
        far = make_key(key_.get(), path), sub;
    const HKEY watched = key_.get(), below = deep.get();
    enum Op { SetValue, DeleteValue, MakeKey, DeleteKey };
    DWORD value = 0;
    auto apply = [&](Op op, HKEY key) {
        switch (op) {
            case SetValue: return set_dword(key, "V", ++value);
            case DeleteValue: return RegDeleteValueA(key, "V");
            case MakeKey: return create_key(key, "Sub", &sub);
            default: return RegDeleteKeyA(key, "Sub");
        }
    };
    // What, the key watched, filter, subtree, the change, the key changed,
    // whether the watch fires.
    const std::tuple<const char*, HKEY, DWORD, BOOL, Op, HKEY, bool> cases[] = {
        {"value set", watched, kLastSet, FALSE, SetValue, watched, true},
        {"value set, names watched", watched, kName, FALSE, SetValue, watched, false},
        {"value deleted", watched, kLastSet, FALSE, DeleteValue, watched, true},
        {"sub-key made, values watched", watched, kLastSet, FALSE, MakeKey, watched, false},
        {"sub-key deleted", watched, kName, FALSE, DeleteKey, watched, true},
        {"sub-key made", watched, kName, FALSE, MakeKey, watched, true},
        {"below, flat", watched, kLastSet, FALSE, SetValue, below, false},
        {"below, subtree", watched, kLastSet, TRUE, SetValue, below, true},
        {"sibling tree", watched, kLastSet, TRUE, SetValue, sibling.get(), false},
        {"40 levels below the hive", HKEY_LOCAL_MACHINE, kLastSet, TRUE, SetValue, far.get(), true},
    };
    for (const auto& [what, watch, filter, subtree, op, changed, fires] : cases) {
        SCOPED_TRACE(what);
        Event event, sentinel;
        ASSERT_EQ(arm(watch, event, filter, subtree), ERROR_SUCCESS);
        ASSERT_EQ(arm(HKEY_LOCAL_MACHINE, sentinel, kName | kLastSet, TRUE), ERROR_SUCCESS);
        ASSERT_EQ(apply(op, changed), ERROR_SUCCESS);
        ASSERT_TRUE(sentinel.fired());
        EXPECT_EQ(event.signalled_now(), fires);
    }
}

TEST_F(RegistryNotify, AFiredWatchMustBeArmedAgain) {
    // Armed with a duplicate of the event that the caller closes at once:
    // the watch keeps an event of its own.
    Event event, sentinel;
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, kLastSet, duplicate, TRUE), ERROR_SUCCESS);
    CloseHandle(duplicate);
    ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_TRUE(event.fired());
    ResetEvent(event.get());
    ASSERT_EQ(arm(key_.get(), sentinel, kLastSet), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key_.get(), "V", 2), ERROR_SUCCESS);
    ASSERT_TRUE(sentinel.fired());
    EXPECT_FALSE(event.signalled_now());
    ASSERT_EQ(arm(key_.get(), event, kLastSet), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key_.get(), "V", 3), ERROR_SUCCESS);
    EXPECT_TRUE(event.fired());
}

TEST_F(RegistryNotify, DeletingAKeyFiresWatchesOnItAndBelowWhateverTheFilter) {
    Key child = make_key(key_.get(), "Child"), software = make_key(HKEY_LOCAL_MACHINE, "Software");
    Event on_key, on_child, on_parent;
    ASSERT_EQ(arm(key_.get(), on_key, kLastSet), ERROR_SUCCESS);
    ASSERT_EQ(arm(child.get(), on_child, REG_NOTIFY_CHANGE_SECURITY), ERROR_SUCCESS);
    ASSERT_EQ(arm(software.get(), on_parent, kName), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Watched"), ERROR_SUCCESS);
    EXPECT_TRUE(on_key.fired());
    EXPECT_TRUE(on_child.fired());
    EXPECT_TRUE(on_parent.fired());
    EXPECT_EQ(arm(key_.get(), on_key, kLastSet), ERROR_KEY_DELETED);
}

TEST_F(RegistryNotify, ClosingTheKeySignalsItsWatchesAndReleasesThem) {
    size_t handles = w32rt::HandleTable::instance().open_count();
    Event event, on_other;
    Key other;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Watched", &other, KEY_NOTIFY), ERROR_SUCCESS);
    ASSERT_EQ(arm(other.get(), on_other, kLastSet), ERROR_SUCCESS);
    ASSERT_EQ(arm(key_.get(), event, kLastSet), ERROR_SUCCESS);
    key_.reset();
    EXPECT_TRUE(event.signalled_now()) << "closing signals at once";
    EXPECT_FALSE(on_other.signalled_now()) << "another handle of the key keeps its watch";
    other.reset();
    EXPECT_TRUE(on_other.signalled_now());
    // Our duplicates of the events are gone with the watches.
    EXPECT_EQ(registry().notifier().armed_count(), 0u);
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), handles + 1);  // two events, key_ closed
}

TEST_F(RegistryNotify, SynchronousFormBlocksUntilTheChange) {
    std::atomic<LSTATUS> result{-1};
    std::thread waiter([&] { result = RegNotifyChangeKeyValue(key_.get(), TRUE, kLastSet, nullptr, FALSE); });
    ASSERT_TRUE(testing_support::eventually([&] { return registry().notifier().armed_count() == 1; }));
    EXPECT_EQ(result.load(), -1);
    ASSERT_EQ(set_dword(make_key(key_.get(), "Sub").get(), "V", 1), ERROR_SUCCESS);
    waiter.join();
    EXPECT_EQ(result.load(), ERROR_SUCCESS);
}

TEST_F(RegistryNotify, BadArgumentsAreRefused) {
    Event event;
    EXPECT_EQ(arm(key_.get(), event, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(arm(key_.get(), event, 0x20), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, kName, nullptr, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(key_.get(), FALSE, kName, key_.get(), TRUE), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryNotify, JournalEntriesTheWatcherCannotReadFireRatherThanMissAChange) {
    Key unrelated = make_key(HKEY_LOCAL_MACHINE, "Software\\Unrelated");
    // An entry its writer never finished might have been about the unrelated
    // key; later changes are matched exactly again.
    for (bool abandoned : {true, false}) {
        Event event, sentinel;
        ASSERT_EQ(arm(unrelated.get(), event, kLastSet), ERROR_SUCCESS);
        ASSERT_EQ(arm(key_.get(), sentinel, kLastSet), ERROR_SUCCESS);
        if (abandoned) registry().journal()->abandon_entry();
        ASSERT_EQ(set_dword(key_.get(), "V", 1), ERROR_SUCCESS);
        ASSERT_TRUE(sentinel.fired());
        EXPECT_EQ(abandoned ? event.fired() : event.signalled_now(), abandoned);
    }
    // More entries than the ring holds, published while the watcher cannot
    // read: none of them concerns the watched key, but the watcher cannot
    // know.
    Event event;
    ASSERT_EQ(arm(unrelated.get(), event, kLastSet), ERROR_SUCCESS);
    std::unique_lock<std::mutex> slow = registry().notifier().hold_scans();
    std::vector<w32rt::registry::Change> changes(w32rt::registry::Journal::kCapacity + 8);
    for (auto& change : changes) change = {w32rt::registry::kChangeLastSet, {1, 999999}};
    registry().journal()->publish(changes);
    slow.unlock();
    EXPECT_TRUE(event.fired());
}

}  // namespace
