// The consumer ring on its own: records across the wrap, refusal when full,
// damaged shared words and headers, and the records of writers that died
// before or after writing their header.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <w32rt/machine.h>

#include "core/process_identity.h"
#include "etw/ring.h"
#include "etw_test_util.h"
#include "test_support.h"

using namespace w32rt::etw;

namespace {

constexpr uint64_t kCapacity = 5 * kPageSize;  // not a power of two: positions wrap below 2^40

class RingTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        name_ = "/evtrace-ring-test-" + std::to_string(getpid());
        ring_ = RingMap::create(name_, kCapacity, {1, 1, 0, 1});
        ASSERT_TRUE(ring_);
        key_ = ring_key(0, 1);
        memset(static_cast<void*>(writers_), 0, sizeof writers_);
    }
    void TearDown() override {
        ring_.reset();
        shm_unlink(name_.c_str());
        MachineTest::TearDown();
    }

    EventImage image(uint32_t payload, uint64_t sequence) {
        memset(&header_, 0, sizeof header_);
        header_.Size = USHORT(sizeof(EVENT_TRACE_HEADER) + payload);
        header_.Flags = WNODE_FLAG_TRACED_GUID;
        header_.TimeStamp.QuadPart = LONGLONG(sequence);
        for (uint32_t i = 0; i < payload; ++i) body_[i] = char(sequence + i);
        segment_ = {body_, payload};
        return EventImage{header_, &segment_, 1, payload, 0};
    }
    bool write(uint32_t payload, uint64_t sequence, WriterRef writer = {nullptr, kNoWriter}) {
        return ring_write(*ring_, key_, writer, &cached_tail_, image(payload, sequence));
    }
    // A writer slot owned by a process that has already exited.
    WriterRef dead_writer(uint32_t index) {
        pid_t child = fork();
        if (child == 0) _exit(0);
        w32rt::ProcessIdentity dead{child, 0, w32rt::process_start_time(child)};
        waitpid(child, nullptr, 0);
        WriterSlot& w = writers_[index];
        w.owner = dead;
        w.tid = child;
        w.generation = 1;
        w.state = kWriterOwned;
        return {&w, (index << 16) | 1};
    }
    WriterRef live_writer(uint32_t index) {
        WriterSlot& w = writers_[index];
        w.owner = w32rt::current_process();
        w.tid = gettid();
        w.generation = 1;
        w.state = kWriterOwned;
        return {&w, (index << 16) | 1};
    }
    // Reserves like a writer that dies right after its CAS: head moved,
    // intent published, nothing written.
    void reserve_and_die(const WriterRef& writer, uint32_t payload) {
        RingHeader* h = ring_->header();
        uint64_t head = h->head.load();
        uint32_t size = record_size_for(sizeof(EVENT_TRACE_HEADER) + payload);
        writer.slot->intent.store((uint64_t(key_) << 32) | ring_ord(head));
        h->head.store(ring_word(ring_ord(head) + 1, ring_advance(ring_pos(head), size, ring_->modulus())));
    }
    WriterTable table() { return {writers_, 8}; }

    std::string name_;
    std::unique_ptr<RingMap> ring_;
    uint32_t key_ = 0;
    uint64_t cached_tail_ = ring_word(1, 0);
    WriterSlot writers_[8];
    EVENT_TRACE_HEADER header_;
    char body_[65536];
    Segment segment_;
};

TEST_F(RingTest, RecordsCrossTheEndOfTheRingWhole) {
    RingReader reader(ring_.get(), key_);
    RecordView view;
    uint64_t sequence = 0, expected = 0;
    // Odd sizes make records straddle the end at ever other offsets.
    for (int lap = 0; lap < 50; ++lap) {
        while (write(1000 + uint32_t(sequence % 7) * 13, sequence)) ++sequence;
        while (reader.peek(&view) == RingReader::Peek::Ready) {
            ASSERT_FALSE(view.malformed);
            ASSERT_EQ(uint64_t(view.header.TimeStamp.QuadPart), expected);
            ASSERT_EQ(view.payload_size, 1000 + uint32_t(expected % 7) * 13);
            for (uint32_t i = 0; i < view.payload_size; ++i) ASSERT_EQ(view.payload[i], char(expected + i));
            reader.consume(view);
            ++expected;
        }
        reader.publish();
    }
    EXPECT_EQ(expected, sequence);
    EXPECT_GT(sequence, 100u);
    EXPECT_EQ(reader.delivered(), sequence);
    // Each lap ended with exactly one refusal.
    EXPECT_EQ(ring_->header()->lost_full.load(), 50u);
}

TEST_F(RingTest, FreshRingReadsEmptyNotPending) {
    // Its zero-filled memory must not look like a record being written,
    // or an idle consumer polls instead of sleeping.
    RingReader reader(ring_.get(), key_);
    RecordView view;
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Empty);
    EXPECT_FALSE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(reader.lost(), 0u);
}

TEST_F(RingTest, AFullRingRefusesAndCountsUntilTheConsumerPublishes) {
    RingReader reader(ring_.get(), key_);
    int written = 0;
    while (write(2000, uint64_t(written))) ++written;
    EXPECT_EQ(written, int(kCapacity / record_size_for(48 + 2000)));
    EXPECT_FALSE(write(2000, 99));
    EXPECT_EQ(ring_->header()->lost_full.load(), 2u);
    RecordView view;
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    reader.consume(view);
    EXPECT_FALSE(write(2000, 100));  // consumed, not yet published
    reader.publish();
    EXPECT_TRUE(write(2000, 101));
    EXPECT_EQ(reader.lost(), 3u);
}

TEST_F(RingTest, DamagedHeadOrTailMakesProducersRefuseInsteadOfWritingAnywhere) {
    RingHeader* h = ring_->header();
    // Fill the ring, so that producers must read the consumer's tail.
    uint64_t written = 0;
    while (write(1000, written)) ++written;
    const uint64_t refused_when_full = h->lost_full.load();
    h->tail.store(ring_word(0, ring_->modulus() + 5));  // beyond every position
    EXPECT_FALSE(write(100, 1));
    h->tail.store(ring_word(0, ring_pos(h->head.load()) + 3 * kCapacity));  // ahead of the head
    EXPECT_FALSE(write(100, 2));
    h->tail.store(h->head.load());  // all consumed: room again
    EXPECT_TRUE(write(100, 3));
    h->head.store(ring_word(0, ring_->modulus()));
    EXPECT_FALSE(write(100, 4));
    EXPECT_EQ(h->lost_full.load(), refused_when_full + 3);
    EXPECT_GT(ring_->used(), kCapacity);
}

TEST_F(RingTest, DamagedRecordSizeIsNeverFollowedOutOfTheRing) {
    RingReader reader(ring_.get(), key_);
    ASSERT_TRUE(write(100, 1));
    ASSERT_TRUE(write(100, 2));
    auto* rh = reinterpret_cast<RecordHeader*>(ring_->data());
    for (uint32_t bad : {0u, 7u, 24u, uint32_t(kCapacity) + 8, 0xFFFFFFF8u}) {
        rh->size.store(bad);
        RecordView view;
        EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending) << bad;
    }
    // Nobody reserved it under that name: after the grace for unknown
    // writers the consumer steps to the next real record and counts one.
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    RecordView view;
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 2);
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingTest, ASizeThatLiesInsideTheRingCostsNoMoreThanTheRecordsUpToTheHead) {
    RingReader reader(ring_.get(), key_);
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(write(100, i));
    auto* rh = reinterpret_cast<RecordHeader*>(ring_->data());
    rh->size.store(4096);  // in bounds, past the head
    RecordView view;
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_TRUE(view.malformed);  // it disagrees with the event's own size
    reader.consume(view);
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending);
    EXPECT_TRUE(reader.resolve_stuck(table(), false));  // back at the head
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Empty);
    EXPECT_EQ(reader.lost(), 3u);
    reader.publish();
    ASSERT_TRUE(write(100, 4));
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 4);
}

TEST_F(RingTest, CommittedRecordWithAnInconsistentEventSizeIsSkippedAndCounted) {
    RingReader reader(ring_.get(), key_);
    ASSERT_TRUE(write(100, 1));
    ASSERT_TRUE(write(100, 2));
    auto* event = reinterpret_cast<EVENT_TRACE_HEADER*>(ring_->data() + kRecordOverhead);
    event->Size = 5000;
    RecordView view;
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_TRUE(view.malformed);
    reader.consume(view);
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_FALSE(view.malformed);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 2);
    reader.consume(view);
    EXPECT_EQ(reader.lost(), 1u);
    EXPECT_EQ(reader.delivered(), 1u);
}

TEST_F(RingTest, AReservationIsWaitedForWhileItsWriterLivesAndSkippedOnceItIsGone) {
    RingReader reader(ring_.get(), key_);
    WriterRef writer = live_writer(2);
    reserve_and_die(writer, 300);
    ASSERT_TRUE(write(300, 2));
    RecordView view;
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending);
    EXPECT_FALSE(reader.resolve_stuck(table(), false));  // its writer lives
    EXPECT_FALSE(reader.resolve_stuck(table(), true));   // known and alive: never given up
    // The same slot, now owned by a process that has exited.
    WriterRef dead = dead_writer(2);
    ASSERT_EQ(dead.tag, writer.tag);
    EXPECT_TRUE(reader.resolve_stuck(table(), false));
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 2);
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingTest, AWriterSlotTakenOverByAnotherThreadNoLongerNamesTheReservation) {
    RingReader reader(ring_.get(), key_);
    WriterRef writer = live_writer(1);
    reserve_and_die(writer, 300);
    // Its owner died and another thread claimed the slot: a claim clears
    // the intent and moves the generation.
    writers_[1].intent = 0;
    writers_[1].generation = 2;
    EXPECT_FALSE(reader.resolve_stuck(table(), false));  // nobody known: the grace applies
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingTest, ReservationsWithoutHeadersAreBoundedByTheNextRecordAndCountedByOrdinal) {
    RingReader reader(ring_.get(), key_);
    WriterRef a = dead_writer(0);
    WriterRef b = dead_writer(1);
    ASSERT_TRUE(write(100, 1));
    reserve_and_die(a, 500);
    reserve_and_die(b, 77);
    ASSERT_TRUE(write(100, 4));
    RecordView view;
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    reader.consume(view);
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending);
    EXPECT_TRUE(reader.resolve_stuck(table(), false));
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 4);
    EXPECT_EQ(reader.lost(), 2u);  // two reservations, both dead
}

TEST_F(RingTest, AHeaderlessReservationOfALiveWriterIsWaitedFor) {
    RingReader reader(ring_.get(), key_);
    WriterRef live = live_writer(3);
    reserve_and_die(live, 100);  // "dies" only in name: its process is us
    ASSERT_TRUE(write(100, 2));
    RecordView view;
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending);
    EXPECT_FALSE(reader.resolve_stuck(table(), false));
    EXPECT_FALSE(reader.resolve_stuck(table(), true));  // identified and alive: never given up
    EXPECT_EQ(reader.lost(), 0u);
}

TEST_F(RingTest, HeaderlessReservationsAtTheHeadEndAtTheHead) {
    RingReader reader(ring_.get(), key_);
    WriterRef a = dead_writer(4);
    reserve_and_die(a, 200);
    reserve_and_die(a, 300);
    RecordView view;
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Pending);
    // One slot holds one intent: the first reservation has no known writer
    // any more, so the grace for unknown writers applies to the span.
    EXPECT_FALSE(reader.resolve_stuck(table(), false));
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(reader.peek(&view), RingReader::Peek::Empty);
    EXPECT_EQ(reader.lost(), 2u);
    ASSERT_TRUE(write(100, 9));
    reader.publish();
    ASSERT_EQ(reader.peek(&view), RingReader::Peek::Ready);
    EXPECT_EQ(view.header.TimeStamp.QuadPart, 9);
}

TEST_F(RingTest, OpeningChecksWhatTheObjectIs) {
    EXPECT_TRUE(RingMap::open(name_, kCapacity));
    EXPECT_FALSE(RingMap::open(name_, 2 * kCapacity));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_FALSE(RingMap::open(name_ + "-missing", kCapacity));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    ring_->header()->magic = 0;
    EXPECT_FALSE(RingMap::open(name_, kCapacity));
    EXPECT_FALSE(RingMap::open_header(name_));
    ring_->header()->magic = kRingMagic;
    ring_->header()->capacity = 3;
    EXPECT_FALSE(RingMap::open_header(name_));
}

TEST_F(RingTest, TheTwoViewsOfTheDataAreTheSameMemory) {
    ring_->data()[5] = 42;
    EXPECT_EQ(ring_->data()[kCapacity + 5], 42);
    ring_->data()[2 * kCapacity - 1] = 7;
    EXPECT_EQ(ring_->data()[kCapacity - 1], 7);
}

}  // namespace
