// Controllers: StartTraceA, ControlTraceA (query, stop, flush, update) and
// its wrappers, QueryAllTracesA, EnableTrace.
//
// Statistics reported in EVENT_TRACE_PROPERTIES count events, not buffers
// (every event travels as a record of its own):
//   BuffersWritten       events TraceEvent accepted;
//   EventsLost           events TraceEvent refused because no attached
//                        consumer had room (it returned ERROR_NOT_ENOUGH_MEMORY);
//   RealTimeBuffersLost  deliveries that did not happen: once per consumer
//                        that had no room for an event or lost it to a dead
//                        writer, and once per event written while no consumer
//                        was attached;
//   NumberOfBuffers      MaximumBuffers (the ring of every consumer holds that
//                        many buffers of BufferSize kilobytes);
//   FreeBuffers          buffers still free in the fullest consumer ring.
// Log files are not provided: a log file name or a file mode without a name
// is refused (ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER).
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <evntrace.h>

#include "core/error.h"
#include "core/strings.h"
#include "etw/state.h"

using namespace w32rt;
using namespace w32rt::etw;

namespace {

constexpr ULONG kFileModes = EVENT_TRACE_FILE_MODE_SEQUENTIAL | EVENT_TRACE_FILE_MODE_CIRCULAR |
                             EVENT_TRACE_FILE_MODE_APPEND | EVENT_TRACE_FILE_MODE_NEWFILE |
                             EVENT_TRACE_FILE_MODE_PREALLOCATE;

// An offset into the caller's block: 0 (none), or inside the block after the
// fixed structure.
bool offset_valid(ULONG offset, ULONG block_size) {
    return offset == 0 || (offset >= sizeof(EVENT_TRACE_PROPERTIES) && offset < block_size);
}

// The fixed structure and the offsets of a caller's block: ERROR_SUCCESS or
// the status to return.
ULONG check_block(const EVENT_TRACE_PROPERTIES* p) {
    ULONG size = p->Wnode.BufferSize;
    if (size < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
    if (!offset_valid(p->LoggerNameOffset, size) || !offset_valid(p->LogFileNameOffset, size))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// The string at an offset of the caller's block, or nullptr when it is not
// terminated inside the block.
const char* string_at(const EVENT_TRACE_PROPERTIES* p, ULONG offset) {
    if (offset == 0) return nullptr;
    const char* s = reinterpret_cast<const char*>(p) + offset;
    size_t room = p->Wnode.BufferSize - offset;
    return memchr(s, '\0', room) ? s : nullptr;
}

// Writes a session's settings and statistics into a caller's block. False
// when the name did not fit (everything else is filled).
bool fill_properties(EVENT_TRACE_PROPERTIES* p, const SessionSlot& s, uint32_t slot_index, const SessionStats& st) {
    p->Wnode.HistoricalContext = make_session_handle(slot_index, s.generation.load());
    p->Wnode.Guid = s.guid;
    p->Wnode.ClientContext = s.clock_type;
    p->Wnode.Flags |= WNODE_FLAG_TRACED_GUID;
    p->BufferSize = s.buffer_size_kb;
    p->MinimumBuffers = s.minimum_buffers;
    p->MaximumBuffers = s.maximum_buffers;
    p->MaximumFileSize = 0;
    p->LogFileMode = s.log_file_mode;
    p->FlushTimer = s.flush_timer;
    p->EnableFlags = s.enable_flags;
    p->AgeLimit = s.age_limit;
    p->NumberOfBuffers = s.maximum_buffers;
    p->FreeBuffers = free_buffers(s, st);
    p->EventsLost = saturate(st.refused);
    p->BuffersWritten = saturate(st.written);
    p->LogBuffersLost = 0;
    p->RealTimeBuffersLost = saturate(st.realtime_lost);
    p->LoggerThreadId = nullptr;
    ULONG size = p->Wnode.BufferSize;
    if (p->LogFileNameOffset != 0) reinterpret_cast<char*>(p)[p->LogFileNameOffset] = '\0';
    if (p->LoggerNameOffset == 0) return true;
    uint32_t length = std::min<uint32_t>(s.name_length, kMaxNameLength);
    if (uint64_t(p->LoggerNameOffset) + length + 1 > size) return false;
    char* name = reinterpret_cast<char*>(p) + p->LoggerNameOffset;
    memcpy(name, s.name, length);
    name[length] = '\0';
    return true;
}

struct Settings {
    ULONG buffer_kb, minimum, maximum;
    uint64_t capacity;
};

// The effective buffer settings: platform defaults for zeros, clamped to
// what the runtime supports, at least two buffers so that the largest event
// always fits a ring.
Settings effective_settings(const EVENT_TRACE_PROPERTIES* p) {
    Settings s;
    s.buffer_kb = p->BufferSize ? std::min<ULONG>(p->BufferSize, kMaxBufferKb) : kDefaultBufferKb;
    s.minimum = p->MinimumBuffers ? p->MinimumBuffers : kDefaultMinimumBuffers;
    s.maximum = p->MaximumBuffers ? p->MaximumBuffers : std::max<ULONG>(kDefaultMaximumBuffers, s.minimum);
    if (s.maximum < s.minimum) s.maximum = s.minimum;
    ULONG limit = ULONG(kMaxRingBytes / (uint64_t(s.buffer_kb) * 1024));
    s.maximum = std::clamp<ULONG>(s.maximum, 2, limit);
    s.minimum = std::min(s.minimum, s.maximum);
    uint64_t bytes = uint64_t(s.buffer_kb) * 1024 * s.maximum;
    s.capacity = (bytes + kPageSize - 1) / kPageSize * kPageSize;
    return s;
}

// Checks the names and modes of a block for a start. ERROR_SUCCESS or the
// status to return.
ULONG check_start_block(const EVENT_TRACE_PROPERTIES* p, size_t name_length) {
    if (ULONG status = check_block(p)) return status;
    if (p->LoggerNameOffset == 0) return ERROR_INVALID_PARAMETER;
    if (uint64_t(p->LoggerNameOffset) + name_length + 1 > p->Wnode.BufferSize) return ERROR_BAD_LENGTH;
    const char* file = string_at(p, p->LogFileNameOffset);
    if (p->LogFileNameOffset != 0 && !file) return ERROR_INVALID_PARAMETER;
    bool has_file = file && *file;
    ULONG mode = p->LogFileMode;
    if ((mode & EVENT_TRACE_FILE_MODE_SEQUENTIAL) && (mode & EVENT_TRACE_FILE_MODE_CIRCULAR))
        return ERROR_INVALID_PARAMETER;
    if ((mode & EVENT_TRACE_BUFFERING_MODE) && (mode & EVENT_TRACE_REAL_TIME_MODE)) return ERROR_INVALID_PARAMETER;
    if (has_file) return ERROR_NOT_SUPPORTED;
    if (mode & kFileModes) return ERROR_INVALID_PARAMETER;  // a file mode needs a file
    if (mode & (EVENT_TRACE_PRIVATE_LOGGER_MODE | EVENT_TRACE_BUFFERING_MODE | EVENT_TRACE_RELOG_MODE))
        return ERROR_NOT_SUPPORTED;
    if (!(mode & EVENT_TRACE_REAL_TIME_MODE)) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

ULONG start_trace(PTRACEHANDLE handle_out, LPCSTR name, PEVENT_TRACE_PROPERTIES p) {
    if (handle_out) *handle_out = 0;
    if (!handle_out || !name || !p) return ERROR_INVALID_PARAMETER;
    size_t name_length = strnlen(name, kMaxNameLength + 1);
    if (name_length == 0 || name_length > kMaxNameLength) return ERROR_INVALID_PARAMETER;
    if (ULONG status = check_start_block(p, name_length)) return status;
    if (!check_control_rights()) return ERROR_ACCESS_DENIED;
    Settings settings = effective_settings(p);

    EtwState& state = EtwState::current();
    EtwState::Lock lock(state);
    if (!lock.owns()) return GetLastError();
    Directory* d = state.directory();
    if (state.find_by_name(name) >= 0) return ERROR_ALREADY_EXISTS;
    int free_slot = -1;
    for (uint32_t i = 0; i < kMaxSessions && free_slot < 0; ++i)
        if (d->slots[i].state.load(std::memory_order_acquire) == kSlotFree) free_slot = int(i);
    if (free_slot < 0) return ERROR_NO_SYSTEM_RESOURCES;

    uint32_t slot_index = uint32_t(free_slot);
    SessionSlot& s = d->slots[slot_index];
    uint64_t generation = (s.generation.load() + 1) & kGenerationMask;
    if (generation == 0) generation = 1;
    s.busy_owner = current_process();
    s.generation.store(generation, std::memory_order_release);
    s.state.store(kSlotStarting, std::memory_order_release);

    Machine& machine = state.machine();
    const Segment control_segment = session_segment(slot_index, generation);
    const Segment writer_segment = writers_segment(slot_index, generation);
    SharedRegion::remove(machine, control_segment);
    SharedRegion::remove(machine, writer_segment);
    ULONG buffer_bytes = settings.buffer_kb * 1024;
    auto region = SharedRegion::open_or_create(
        machine, control_segment, sizeof(SessionRegion), kSessionMagic, kLayoutVersion, [&](void* base) {
            auto* r = static_cast<SessionRegion*>(base);
            r->layout_size = sizeof(SessionRegion);
            r->slot = slot_index;
            r->generation = generation;
            r->ring_capacity = settings.capacity;
            r->buffer_bytes = buffer_bytes > 0xFFFF ? 0xFFFF : buffer_bytes;  // Size is 16 bits
            r->max_consumers = kMaxConsumers;
            r->max_writers = kMaxWriters;
            r->state.store(kSessionRunning, std::memory_order_relaxed);
        });
    auto writers = !region ? nullptr
                           : SharedRegion::open_or_create(machine, writer_segment, sizeof(WriterRegion),
                                                          kWritersMagic, kLayoutVersion, [&](void* base) {
                                                              auto* w = static_cast<WriterRegion*>(base);
                                                              w->layout_size = sizeof(WriterRegion);
                                                              w->slot = slot_index;
                                                              w->generation = generation;
                                                              w->max_writers = kMaxWriters;
                                                          });
    if (!region || !writers) {
        ULONG status = GetLastError();
        SharedRegion::remove(machine, control_segment);
        SharedRegion::remove(machine, writer_segment);
        s.state.store(kSlotFree, std::memory_order_release);
        return status ? status : ERROR_NO_SYSTEM_RESOURCES;
    }
    writers.reset();
    region.reset();  // mapped again on demand by whoever writes or reads

    const ProcessIdentity& me = current_process();
    s.starter = me;
    s.starter_uid = uint32_t(geteuid());
    s.buffer_size_kb = settings.buffer_kb;
    s.minimum_buffers = settings.minimum;
    s.maximum_buffers = settings.maximum;
    s.log_file_mode = p->LogFileMode;
    s.flush_timer = p->FlushTimer;
    s.enable_flags = p->EnableFlags;
    s.age_limit = p->AgeLimit;
    s.clock_type = p->Wnode.ClientContext;
    s.guid = p->Wnode.Guid;
    s.start_time = filetime_now();
    s.ring_capacity = settings.capacity;
    memcpy(s.name, name, name_length);
    s.name[name_length] = '\0';
    s.name_length = uint32_t(name_length);
    s.state.store(kSlotRunning, std::memory_order_release);

    *handle_out = make_session_handle(slot_index, generation);
    fill_properties(p, s, slot_index, SessionStats{});
    return ERROR_SUCCESS;
}

ULONG control_trace(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES p, ULONG code) {
    if (!p) return ERROR_INVALID_PARAMETER;
    if (code > EVENT_TRACE_CONTROL_FLUSH) return ERROR_INVALID_PARAMETER;
    if (ULONG status = check_block(p)) return status;
    std::string wanted;
    if (handle == 0) {
        const char* n = name ? name : string_at(p, p->LoggerNameOffset);
        if (!n || !*n) return ERROR_INVALID_PARAMETER;
        size_t length = strnlen(n, kMaxNameLength + 1);
        if (length > kMaxNameLength) return ERROR_INVALID_PARAMETER;
        wanted.assign(n, length);
    }
    if (!check_control_rights()) return ERROR_ACCESS_DENIED;

    EtwState& state = EtwState::current();
    EtwState::Lock lock(state);
    if (!lock.owns()) return GetLastError();
    int slot_index = handle ? state.find_by_handle(handle) : state.find_by_name(wanted.c_str());
    if (slot_index < 0) return handle ? ERROR_INVALID_HANDLE : ERROR_WMI_INSTANCE_NOT_FOUND;
    SessionSlot& s = state.directory()->slots[slot_index];
    auto session = state.session(uint32_t(slot_index), s.generation.load());
    if (!session) return GetLastError();

    if (code == EVENT_TRACE_CONTROL_UPDATE) {
        // The capacity is what every attached consumer's ring was made with;
        // it cannot change under them.
        if ((p->MaximumBuffers && p->MaximumBuffers != s.maximum_buffers) ||
            (p->LogFileMode && p->LogFileMode != s.log_file_mode))
            return ERROR_NOT_SUPPORTED;
        const char* file = string_at(p, p->LogFileNameOffset);
        if (file && *file) return ERROR_NOT_SUPPORTED;
        if (p->FlushTimer) s.flush_timer = p->FlushTimer;
        s.enable_flags = p->EnableFlags;
    }
    state.reap_dead_consumers(*session);
    SessionStats st = state.stats(*session);
    bool name_fits = fill_properties(p, s, uint32_t(slot_index), st);
    if (code == EVENT_TRACE_CONTROL_STOP) state.stop_session(uint32_t(slot_index));
    return name_fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

}  // namespace

extern "C" {

W32RT_API ULONG WMIAPI StartTraceA(PTRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
    return start_trace(TraceHandle, InstanceName, Properties);
}

W32RT_API ULONG WMIAPI ControlTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                                     ULONG ControlCode) {
    return control_trace(TraceHandle, InstanceName, Properties, ControlCode);
}

W32RT_API ULONG WMIAPI StopTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
    return control_trace(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_STOP);
}

W32RT_API ULONG WMIAPI QueryTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
    return control_trace(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_QUERY);
}

W32RT_API ULONG WMIAPI FlushTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties) {
    // Events reach consumers as they are written; there is nothing to flush
    // beyond reporting the session.
    return control_trace(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_FLUSH);
}

W32RT_API ULONG WMIAPI QueryAllTracesA(PEVENT_TRACE_PROPERTIES* PropertyArray, ULONG PropertyArrayCount,
                                       PULONG LoggerCount) {
    if (!PropertyArray || !LoggerCount || PropertyArrayCount == 0 || PropertyArrayCount > kMaxSessions)
        return ERROR_INVALID_PARAMETER;
    *LoggerCount = 0;
    for (ULONG i = 0; i < PropertyArrayCount; ++i) {
        EVENT_TRACE_PROPERTIES* p = PropertyArray[i];
        if (!p) return ERROR_INVALID_PARAMETER;
        if (ULONG status = check_block(p)) return status;
    }
    if (!check_control_rights()) return ERROR_ACCESS_DENIED;
    EtwState& state = EtwState::current();
    EtwState::Lock lock(state);
    if (!lock.owns()) return GetLastError();
    Directory* d = state.directory();
    ULONG total = 0, filled = 0;
    bool all_names_fit = true;
    for (uint32_t i = 0; i < kMaxSessions; ++i) {
        SessionSlot& s = d->slots[i];
        if (s.state.load(std::memory_order_acquire) != kSlotRunning) continue;
        ++total;
        if (filled == PropertyArrayCount) continue;
        auto session = state.session(i, s.generation.load());
        SessionStats st = session ? state.stats(*session) : SessionStats{};
        all_names_fit &= fill_properties(PropertyArray[filled], s, i, st);
        ++filled;
    }
    *LoggerCount = filled;
    return total > filled || !all_names_fit ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

W32RT_API ULONG WMIAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                                   TRACEHANDLE TraceHandle) {
    if (!ControlGuid || EnableLevel > 0xFF) return ERROR_INVALID_PARAMETER;
    if (!check_control_rights()) return ERROR_ACCESS_DENIED;
    EtwState& state = EtwState::current();
    EtwState::Lock lock(state);
    if (!lock.owns()) return GetLastError();
    int slot_index = state.find_by_handle(TraceHandle);
    if (slot_index < 0) return ERROR_INVALID_HANDLE;
    Directory* d = state.directory();
    uint64_t generation = d->slots[slot_index].generation.load();

    EnableRecord* mine = nullptr;
    EnableRecord* free_record = nullptr;
    for (EnableRecord& e : d->enables) {
        if (!e.in_use) {
            if (!free_record) free_record = &e;
            continue;
        }
        if (e.guid != *ControlGuid) continue;
        if (e.session_slot == uint32_t(slot_index) && e.session_generation == generation) {
            mine = &e;
        } else if (Enable) {
            // A classic provider writes to one session at a time.
            return ERROR_WMI_ALREADY_ENABLED;
        }
    }
    if (!Enable) {
        if (!mine) return ERROR_SUCCESS;
        mine->in_use = 0;
        state.bump_control();
        return ERROR_SUCCESS;
    }
    if (!mine) {
        if (!free_record) return ERROR_NO_SYSTEM_RESOURCES;
        mine = free_record;
        mine->guid = *ControlGuid;
        mine->session_slot = uint32_t(slot_index);
        mine->session_generation = generation;
    }
    mine->level = EnableLevel;
    mine->flags = EnableFlag;
    mine->change = ++d->enable_change_counter;
    mine->in_use = 1;
    state.bump_control();
    return ERROR_SUCCESS;
}

}  // extern "C"
