// Named kernel objects under the fault matrix. Opening a named object
// prunes the holders whose processes died, which asks the system whether
// each holder still lives: a failed question must never make a live holder
// dead, or the object would vanish under the process that holds it.
#include <string>

#include <windows.h>

#include "fault_matrix.h"
#include "test_support.h"

namespace faults {

namespace {

constexpr char kMutex[] = "Global\\VANTA_MUTEX_SNAPSHOT_PROCESSING";

HANDLE create_open_to_all(const char* name) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    return CreateMutexA(&attributes, FALSE, name);
}

// Holds the mutex until told to go.
TEST_HELPER(mutex_holder) {
    HANDLE mutex = create_open_to_all(kMutex);
    if (mutex == nullptr) return 2;
    testing_support::send_line("held");
    testing_support::receive_line();
    CloseHandle(mutex);
    return 0;
}

}  // namespace

// OpenMutexA of a mutex that another, live process holds.
class NamedObjectHeldByAnotherProcess : public WritingPath {
    void arrange() override {
        holder_ = testing_support::spawn_helper("mutex_holder");
        ASSERT_TRUE(holder_.expect_line("held"));
    }

    void release() override {
        holder_.write_line("go");
        EXPECT_EQ(holder_.wait(), 0);
    }

    bool run() override {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutex);
        if (mutex == nullptr) return false;
        const DWORD wait = WaitForSingleObject(mutex, 10000);
        const bool ok = (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) && ReleaseMutex(mutex);
        CloseHandle(mutex);
        return ok;
    }

    void check(Outcome) override {
        // Its holder lives: the object is still there, whatever the opener
        // was told.
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kMutex);
        EXPECT_NE(mutex, nullptr) << "a live holder's object was freed (error " << GetLastError() << ")";
        if (mutex != nullptr) CloseHandle(mutex);
    }

    testing_support::ChildProcess holder_;
};
FAULT_PATH(NamedObjectHeldByAnotherProcess);

}  // namespace faults
