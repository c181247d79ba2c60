// The live snapshot under the fault matrix: the engine writes its queue
// with CEvDataQueue::WriteEventsToFile into the snapshot file it opened.
//
// The engine writes the file in place (the consumer reads it and deletes
// it), so a failed write leaves part of it. What must hold: the writer
// reports the failure, and what it left is a prefix of the whole snapshot,
// which a reader rejects (its count announces records that are not there),
// never a snapshot that reads as complete with records missing.
#include <string.h>

#include <deque>
#include <string>

#include <TraceApi.h>
#include <w32rt/machine.h>
#include <windows.h>

#include "fault_matrix.h"

namespace faults {

namespace {

constexpr char kSnapshot[] = "C:\\EvtSnapShot.bin";

// Whether bytes hold a whole snapshot: a count, then as many records, each
// a length and that many bytes, and nothing after them.
bool whole_snapshot(const std::string& bytes) {
    size_t at = 0;
    auto word = [&](uint32_t* out) {
        if (bytes.size() - at < 4) return false;
        memcpy(out, bytes.data() + at, 4);
        at += 4;
        return true;
    };
    uint32_t count = 0;
    if (!word(&count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!word(&length) || bytes.size() - at < length) return false;
        at += length;
    }
    return at == bytes.size();
}

}  // namespace

class EngineSnapshot : public WritingPath {
    void arrange() override {
        queue_ = std::make_unique<CEvDataQueue>();
        // Copies made by the library, which owns and frees them.
        for (int i = 0; i < 300; ++i) {
            std::string image = record_image("snapshot " + std::to_string(i) + std::string(200, 's'), 0x1000, "Engine");
            CEvDataQueueInfo source;
            source.m_pData = reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data());
            source.m_dwSize = DWORD(image.size());
            queue_->m_Events.push_back(new CEvDataQueueInfo(source));
            source.m_pData = nullptr;
        }
    }

    void release() override { queue_.reset(); }

    void prepare() override { put_file(kSnapshot, "an older snapshot"); }

    bool run() override {
        HANDLE file = CreateFileA(kSnapshot, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        result_ = queue_->WriteEventsToFile(file);
        const bool closed = CloseHandle(file);
        return result_ == S_OK && closed;
    }

    void check(Outcome outcome) override {
        const std::optional<std::string> now = file_bytes(kSnapshot);
        const std::string& whole = expected();
        if (outcome == Outcome::Succeeded) {
            EXPECT_TRUE(now == whole) << "a reported success without the whole snapshot";
            return;
        }
        ASSERT_TRUE(now.has_value()) << "the snapshot file is gone";
        if (*now == "an older snapshot") return;  // the open failed: nothing was written
        EXPECT_EQ(whole.compare(0, now->size(), *now), 0) << "not a prefix of the snapshot";
        if (*now != whole) {
            EXPECT_FALSE(whole_snapshot(*now)) << "a part that reads as a whole snapshot";
        }
    }

    // The snapshot written once without faults.
    const std::string& expected() {
        if (expected_.empty()) {
            const char* reference = "C:\\reference-snapshot.bin";
            HANDLE file = CreateFileA(reference, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            EXPECT_EQ(queue_->WriteEventsToFile(file), S_OK);
            CloseHandle(file);
            expected_ = file_bytes(reference).value_or("");
            EXPECT_TRUE(whole_snapshot(expected_));
        }
        return expected_;
    }

    std::unique_ptr<CEvDataQueue> queue_;
    std::string expected_;
    LONG result_ = S_OK;
};
FAULT_PATH(EngineSnapshot);

}  // namespace faults
