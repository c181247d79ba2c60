// The emitters: each finds its provider, makes the payload and ends in
// CEvTraceProvider::SendEvent. No exception leaves an emitter.
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include "frame/BoundedText.h"
#include "frame/Boundary.h"
#include "providers/EventWire.h"
#include "providers/ProviderRegistry.h"

using namespace traceapi;

namespace {

// Events up to this size (the unified-log blocks' 2,681 bytes among them)
// are built on the stack; larger ones on the heap.
constexpr size_t kStackEventSize = 4096;

void CopyPayload(BYTE* destination, size_t length, void* source) {
    if (source != nullptr) {
        memcpy(destination, source, length);
    } else {
        memset(destination, 0, length);
    }
}

}  // namespace

LONG CEvTraceProvider::SendEvent(const EVT_PROVIDER_INFO& description, UCHAR classType, ULONG type, ULONG code,
                                 const void* payload, size_t length, LPCSTR stringA, LPCSTR stringB, BYTE flag) {
    return SendEvent(description, classType, type, code, length, &CopyPayload, const_cast<void*>(payload), stringA,
                     stringB, flag);
}

LONG CEvTraceProvider::SendEvent(const EVT_PROVIDER_INFO& description, UCHAR classType, ULONG type, ULONG code,
                                 size_t length, PayloadWriter write, void* context, LPCSTR stringA, LPCSTR stringB,
                                 BYTE flag) {
    return Guarded([&]() -> LONG {
        // The header's 16-bit size must describe the whole event.
        if (length > wire::kMaxPayload) throw _evt_error(EVT_E_INVALIDARG, ERROR_MORE_DATA);
        // One block holds the header and the event data: the header, the
        // fixed block and the tail are zero-filled (the tail covers the 8
        // bytes sent after the payload), the payload is the writer's.
        const size_t size = wire::EventBufferSize(length);
        alignas(8) BYTE local[kStackEventSize];
        std::unique_ptr<BYTE[]> heap;
        BYTE* buffer = local;
        if (size > sizeof local) {
            heap.reset(new (std::nothrow) BYTE[size]);
            if (!heap) throw _evt_error(EVT_E_OUTOFMEMORY, ERROR_NOT_ENOUGH_MEMORY);
            buffer = heap.get();
        }
        BYTE* payload = buffer + wire::kHeaderSize + wire::kFixedSize;
        memset(buffer, 0, wire::kHeaderSize + wire::kFixedSize);
        memset(payload + length, 0, wire::kAllocTail);
        wire::FillEvent(buffer, length, classType, code, type, description, stringA, stringB, flag);
        if (length != 0) write(payload, length, context);

        TRACEHANDLE session = SessionHandle();
        if (session == 0) return EVT_E_NOSESSION;
        // A refused write (full buffers, a stopped session) is an ordinary
        // outcome under load: it is answered without unwinding.
        ULONG status = TraceEvent(session, reinterpret_cast<PEVENT_TRACE_HEADER>(buffer));
        return status == ERROR_SUCCESS ? S_OK : E_FAIL;
    });
}

namespace {

// Runs emit with the entry registered under handle: EVT_E_NOTINITIALIZED
// when there is no registry or no such handle, else EVT_E_POINTER when a
// pointer the emitter needs is null. The entry stays valid while emit runs,
// also when the handle is unregistered meanwhile.
template <typename Emit>
LONG WithProvider(ULONG handle, bool missingPointer, Emit emit) {
    return Guarded([&]() -> LONG {
        CEvtProviderInfoMap* registry = ProviderRegistry();
        ProviderEntry entry = registry != nullptr ? registry->FindEntry(handle) : nullptr;
        if (!entry) return EVT_E_NOTINITIALIZED;
        if (missingPointer) return EVT_E_POINTER;
        return emit(*entry);
    });
}

LONG Send(const CTraceProviderInfo& entry, UCHAR classType, ULONG type, ULONG code, const void* payload, size_t length,
          LPCSTR stringA, LPCSTR stringB, BYTE flag) {
    return entry.m_pProvider->SendEvent(*entry.m_pEntry, classType, type, code, payload, length, stringA, stringB,
                                        flag);
}

}  // namespace

extern "C" {

LONG EvTraceString(ULONG handle, ULONG type, ULONG code, LPCSTR text, LPCSTR stringA, LPCSTR stringB, BYTE flag) {
    return WithProvider(handle, text == nullptr, [&](const CTraceProviderInfo& entry) {
        return Send(entry, wire::kClassTypeDefault, type, code, text, BoundedLength(text, wire::kMaxText), stringA,
                    stringB, flag);
    });
}

LONG EvTraceStart(ULONG handle, ULONG code, LPCSTR text) {
    return WithProvider(handle, text == nullptr, [&](const CTraceProviderInfo& entry) {
        return Send(entry, wire::kClassTypeDefault, EVT_TYPE_START, code, text, BoundedLength(text, wire::kMaxText),
                    nullptr, nullptr, 0);
    });
}

LONG EvTraceCustom(ULONG handle, ULONG type, ULONG code, const void* data, ULONG length, LPCSTR stringA, LPCSTR stringB,
                   BYTE flag) {
    return WithProvider(handle, false, [&](const CTraceProviderInfo& entry) {
        return Send(entry, wire::kClassTypeDefault, type, code, data, length, stringA, stringB, flag);
    });
}

LONG EvTraceCustomTimeStamp(ULONG handle, ULONG type, ULONG code, const void* data, ULONG length, LPCSTR stringA,
                            LPCSTR stringB, BYTE flag) {
    return WithProvider(handle, data == nullptr && length != 0, [&](const CTraceProviderInfo& entry) {
        UCHAR classType = type == EVT_TYPE_TIMESTAMP ? wire::kClassTypeTimeStamp : wire::kClassTypeDefault;
        return Send(entry, classType, type, code, data, length, stringA, stringB, flag);
    });
}

LONG EvTraceFormat(ULONG handle, ULONG, ULONG code, LPCSTR stringA, LPCSTR stringB, BYTE flag, LPCSTR format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result = WithProvider(handle, format == nullptr, [&](const CTraceProviderInfo& entry) {
        std::vector<BYTE> block;
        try {
            block = wire::BuildFormatBlock(format, arguments);
        } catch (...) {
            return EVT_E_NOTINITIALIZED;
        }
        return Send(entry, wire::kClassTypeDefault, EVT_TYPE_UL_FMT_INFO, code, block.data(), block.size(), stringA,
                    stringB, flag);
    });
    va_end(arguments);
    return result;
}

// The unified-log emitters consult the switch before anything else.
LONG EvTraceFormatArgs(ULONG handle, ULONG type, ULONG code, LPCSTR stringA, LPCSTR stringB, BYTE flag, LPCSTR format,
                       va_list arguments, LPCSTR file, ULONG line, ULONG64 time, ULONG processId, ULONG threadId) {
    if (!UnifiedLogWanted()) return S_OK;
    return WithProvider(handle, format == nullptr, [&](const CTraceProviderInfo& entry) {
        // The block is built where the event carries it.
        struct Block {
            LPCSTR format;
            va_list arguments;
            wire::BlockTrailer trailer;
        } block{format, {}, {file, line, time, processId, threadId}};
        va_copy(block.arguments, arguments);
        auto build = [](BYTE* payload, size_t, void* context) {
            Block& b = *static_cast<Block*>(context);
            wire::BuildArgumentBlock(*reinterpret_cast<BYTE(*)[wire::kBlockSize]>(payload), b.format, b.arguments,
                                     b.trailer);
        };
        const LONG result = entry.m_pProvider->SendEvent(*entry.m_pEntry, wire::kClassTypeDefault,
                                                         wire::FormattedType(type), code, wire::kBlockSize, build,
                                                         &block, stringA, stringB, flag);
        va_end(block.arguments);
        return result;
    });
}

LONG EvTraceCustomLog(ULONG handle, ULONG type, ULONG code, LPCSTR file, ULONG line, LPCSTR data, ULONG length,
                      LPCSTR stringA, LPCSTR stringB, BYTE flag, ULONG64 time, ULONG processId, ULONG threadId) {
    if (!UnifiedLogWanted()) return S_OK;
    return WithProvider(handle, data == nullptr, [&](const CTraceProviderInfo& entry) {
        if (entry.m_pProvider->SessionHandle() == 0) return E_FAIL;
        if (file == nullptr)
            return Send(entry, wire::kClassTypeDefault, type, code, data, length, stringA, stringB, flag);
        BYTE block[wire::kBlockSize];
        wire::BuildLogBlock(block, data, length, {file, line, time, processId, threadId});
        return Send(entry, wire::kClassTypeDefault, type, code, block, sizeof block, stringA, stringB, flag);
    });
}

}  // extern "C"
