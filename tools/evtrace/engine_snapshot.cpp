#include "engine_snapshot.h"

#include <winreg.h>

#include <fmt/format.h>

#include "command.h"
#include "engine_names.h"
#include "frame/ReplacingFile.h"

namespace evtrace {
namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";

HANDLE OpenEvent(const char* name) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    HANDLE event = CreateEventA(&attributes, FALSE, FALSE, name);
    if (event == nullptr) {
        throw CommandError{fmt::format("cannot create the event {}: {}; the machine root's object table may be "
                                       "full or unusable; check EVTRACE_ROOT",
                                       name, SystemText(GetLastError()))};
    }
    return event;
}

std::string SnapshotPath() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::string();
    char path[MAX_PATH] = {};
    DWORD size = sizeof path - 1;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, "SnapShotFile", nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
    return path;
}

}  // namespace

SnapshotServer::SnapshotServer() {
    m_start = OpenEvent(kSnapshotStartEvent);
    m_end = OpenEvent(kSnapshotEndEvent);
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_stop == nullptr) throw CommandError{"cannot create an event: " + SystemText(GetLastError())};
}

SnapshotServer::~SnapshotServer() {
    CloseHandle(m_start);
    CloseHandle(m_end);
    CloseHandle(m_stop);
}

void SnapshotServer::Stop() { SetEvent(m_stop); }

std::string SnapshotServer::WriteSnapshot(CEvDataQueue& queue) {
    const std::string path = SnapshotPath();
    if (path.empty()) return "no \"SnapShotFile\" is set under HKLM\\" + std::string(kEngKey);
    traceapi::ReplacingFile file(path.c_str());
    DWORD status = file.Open();
    if (status != ERROR_SUCCESS) return fmt::format("cannot create a file beside {}: {}", path, SystemText(status));
    // The queue's lock is held across the count and the write (it is a
    // critical section: the queue takes it again inside), so the file is
    // known whole when its size is the one counted.
    EnterCriticalSection(&queue.m_csQueue);
    ULONGLONG expected = queue.m_Events.empty() ? 0 : sizeof(DWORD);
    for (const CEvDataQueueInfo* entry : queue.m_Events) {
        if (entry != nullptr && entry->m_pData != nullptr) expected += sizeof(DWORD) + entry->m_dwSize;
    }
    HANDLE handle = file.Handle();
    queue.WriteEventsToFile(handle);
    LeaveCriticalSection(&queue.m_csQueue);
    LONG high = 0;
    const DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
    const ULONGLONG written = (ULONGLONG(ULONG(high)) << 32) | low;
    if (written != expected) return fmt::format("writing {} failed after {} of {} bytes", path, written, expected);
    // An empty queue writes nothing; a count of 0 gives the consumer an
    // empty snapshot rather than an unreadable file.
    const DWORD none = 0;
    if (expected == 0 && (status = file.Write(&none, sizeof none)) != ERROR_SUCCESS)
        return fmt::format("writing {} failed: {}", path, SystemText(status));
    status = file.Commit();
    if (status != ERROR_SUCCESS) return fmt::format("cannot put {} in place: {}", path, SystemText(status));
    return std::string();
}

void SnapshotServer::Serve(CEvDataQueue& queue) {
    const HANDLE waits[2] = {m_stop, m_start};
    for (;;) {
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait != WAIT_OBJECT_0 + 1) return;
        const std::string failure = WriteSnapshot(queue);
        if (failure.empty()) {
            OutputDebugStringA("evtrace engine - snapshot written\n");
        } else {
            SetEvent(m_end);
            OutputDebugStringA(fmt::format("evtrace engine - snapshot declined: {}\n", failure).c_str());
        }
    }
}

}  // namespace evtrace
