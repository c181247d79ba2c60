// The consumer ring on its own: records across the wrap, refusal when full,
// damaged shared words and headers, and the records of writers that died
// before writing their header.
#include <sys/wait.h>
#include <unistd.h>

#include "core/machine.h"
#include "core/process_identity.h"
#include "etw/ring.h"
#include "test_support.h"

using namespace w32rt::etw;

namespace {

constexpr uint64_t kCapacity = 5 * kPageSize;  // not a power of two: positions wrap below 2^40
constexpr LONGLONG kEmpty = -1, kPending = -2;

class RingTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        segment_ = w32rt::admin_segment("ring", w32rt::SegmentAccess::Everyone);  // removed with the root
        ring_ = RingMap::create(machine(), segment_, kCapacity, {1, 1, 0, 1});
        ASSERT_TRUE(ring_);
        memset(static_cast<void*>(writers_), 0, sizeof writers_);
    }

    static w32rt::Machine& machine() { return w32rt::Machine::current(); }

    // Writes an event of `payload` bytes stamped with `sequence`.
    bool write(uint32_t payload, uint64_t sequence) {
        EVENT_TRACE_HEADER header{};
        header.Size = USHORT(sizeof header + payload);
        header.Flags = WNODE_FLAG_TRACED_GUID;
        header.TimeStamp.QuadPart = LONGLONG(sequence);
        for (uint32_t i = 0; i < payload; ++i) body_[i] = char(sequence + i);
        Piece segment{body_, payload};
        return ring_write(*ring_, key_, {nullptr, kNoWriter}, &cached_tail_, {header, &segment, 1, payload, 0});
    }
    // The stamp of the record at the reader's tail, kEmpty or kPending.
    LONGLONG at_tail(RingReader& reader) {
        RingReader::Peek peek = reader.peek(&view_);
        return peek == RingReader::Peek::Ready ? view_.header.TimeStamp.QuadPart
                                               : peek == RingReader::Peek::Empty ? kEmpty : kPending;
    }
    // A writer slot owned by this process, or by one that has exited.
    WriterRef writer(uint32_t index, bool dead) {
        WriterSlot& w = writers_[index];
        w.owner = w32rt::current_process();
        w.tid = gettid();
        if (dead) {
            pid_t child = fork();
            if (child == 0) _exit(0);
            w.owner = {child, 0, w32rt::process_start_time(child)};
            w.tid = child;
            waitpid(child, nullptr, 0);
        }
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

    w32rt::Segment segment_;
    std::unique_ptr<RingMap> ring_;
    const uint32_t key_ = ring_key(0, 1);
    uint64_t cached_tail_ = ring_word(1, 0);
    WriterSlot writers_[8];
    char body_[65536];
    RecordView view_;
};

TEST_F(RingTest, AFreshRingReadsEmptyAndRecordsCrossTheEndOfTheRingWhole) {
    RingReader reader(ring_.get(), key_);
    // Zero-filled memory must not look like a record being written, or an
    // idle consumer polls instead of sleeping.
    EXPECT_EQ(at_tail(reader), kEmpty);
    EXPECT_FALSE(reader.resolve_stuck(table(), true));
    uint64_t sequence = 0, expected = 0;
    // Odd sizes make records straddle the end at ever other offsets.
    for (int lap = 0; lap < 50; ++lap) {
        while (write(1000 + uint32_t(sequence % 7) * 13, sequence)) ++sequence;
        while (at_tail(reader) >= 0) {
            ASSERT_FALSE(view_.malformed);
            ASSERT_EQ(uint64_t(view_.header.TimeStamp.QuadPart), expected);
            ASSERT_EQ(view_.payload_size, 1000 + uint32_t(expected % 7) * 13);
            for (uint32_t i = 0; i < view_.payload_size; ++i) ASSERT_EQ(view_.payload[i], char(expected + i));
            reader.consume(view_);
            ++expected;
        }
        reader.publish();
    }
    EXPECT_EQ(expected, sequence);
    EXPECT_GT(sequence, 100u);
    EXPECT_EQ(reader.delivered(), sequence);
    EXPECT_EQ(ring_->header()->lost_full.load(), 50u);  // each lap ended with exactly one refusal
}

TEST_F(RingTest, AFullRingRefusesUntilTheConsumerPublishesAndADamagedHeadOrTailLetsNoProducerWriteAnywhere) {
    RingReader reader(ring_.get(), key_);
    RingHeader* h = ring_->header();
    uint64_t written = 0;
    while (write(1000, written)) ++written;
    EXPECT_EQ(written, kCapacity / record_size_for(48 + 1000));
    ASSERT_EQ(at_tail(reader), 0);
    reader.consume(view_);
    EXPECT_FALSE(write(1000, 100));  // consumed, not yet published
    reader.publish();
    EXPECT_TRUE(write(1000, 101));
    EXPECT_EQ(reader.lost(), 2u);

    // Full again, with less room than a small record needs: producers must
    // read the consumer's tail.
    h->tail.store(ring_word(0, ring_->modulus() + 5));  // beyond every position
    EXPECT_FALSE(write(100, 1));
    h->tail.store(ring_word(0, ring_pos(h->head.load()) + 3 * kCapacity));  // ahead of the head
    EXPECT_FALSE(write(100, 2));
    h->tail.store(h->head.load());  // all consumed: room again
    EXPECT_TRUE(write(100, 3));
    h->head.store(ring_word(0, ring_->modulus()));
    EXPECT_FALSE(write(100, 4));
    EXPECT_EQ(h->lost_full.load(), 5u);
    EXPECT_GT(ring_->used(), kCapacity);
}

TEST_F(RingTest, DamagedRecordHeadersAreNeverFollowedOutOfTheRingAndAreCounted) {
    RingReader reader(ring_.get(), key_);
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(write(100, i));
    auto* rh = reinterpret_cast<RecordHeader*>(ring_->data());
    for (uint32_t bad : {0u, 7u, 24u, uint32_t(kCapacity) + 8, 0xFFFFFFF8u}) {
        rh->size.store(bad);
        EXPECT_EQ(at_tail(reader), kPending) << bad;
    }
    // Nobody reserved it under that name: after the grace for unknown
    // writers the consumer steps to the next real record and counts one.
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(at_tail(reader), 2);
    // A committed record whose event disagrees with its size is skipped.
    reinterpret_cast<EVENT_TRACE_HEADER*>(ring_->data() + record_size_for(48 + 100) + kRecordOverhead)->Size = 5000;
    ASSERT_EQ(at_tail(reader), 2);
    EXPECT_TRUE(view_.malformed);
    reader.consume(view_);
    ASSERT_EQ(at_tail(reader), 3);
    EXPECT_FALSE(view_.malformed);
    reader.consume(view_);
    EXPECT_EQ(reader.lost(), 2u);
    EXPECT_EQ(reader.delivered(), 1u);
}

TEST_F(RingTest, ASizeThatLiesInsideTheRingCostsNoMoreThanTheRecordsUpToTheHead) {
    RingReader reader(ring_.get(), key_);
    for (uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(write(100, i));
    reinterpret_cast<RecordHeader*>(ring_->data())->size.store(4096);  // in bounds, past the head
    ASSERT_EQ(at_tail(reader), 1);
    EXPECT_TRUE(view_.malformed);  // it disagrees with the event's own size
    reader.consume(view_);
    EXPECT_EQ(at_tail(reader), kPending);
    EXPECT_TRUE(reader.resolve_stuck(table(), false));  // back at the head
    EXPECT_EQ(at_tail(reader), kEmpty);
    EXPECT_EQ(reader.lost(), 3u);
    reader.publish();
    ASSERT_TRUE(write(100, 4));
    EXPECT_EQ(at_tail(reader), 4);
}

TEST_F(RingTest, AReservationIsWaitedForWhileItsWriterLivesAndGivenUpOnlyUnderTheGraceOnceItsSlotMovedOn) {
    RingReader reader(ring_.get(), key_);
    reserve_and_die(writer(1, false), 300);
    ASSERT_TRUE(write(300, 2));
    EXPECT_EQ(at_tail(reader), kPending);
    EXPECT_FALSE(reader.resolve_stuck(table(), false));
    EXPECT_FALSE(reader.resolve_stuck(table(), true));  // known and alive: never given up
    // Its owner died and another thread claimed the slot: a claim clears
    // the intent and moves the generation, so nobody is known any more.
    writers_[1].intent = 0;
    writers_[1].generation = 2;
    EXPECT_FALSE(reader.resolve_stuck(table(), false));
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(at_tail(reader), 2);
    EXPECT_EQ(reader.lost(), 1u);
}

TEST_F(RingTest, ReservationsOfDeadWritersAreBoundedByTheNextRecordOrTheHeadAndCountedByOrdinal) {
    RingReader reader(ring_.get(), key_);
    ASSERT_TRUE(write(100, 1));
    reserve_and_die(writer(0, true), 500);
    reserve_and_die(writer(1, true), 77);
    ASSERT_TRUE(write(100, 4));
    ASSERT_EQ(at_tail(reader), 1);
    reader.consume(view_);
    EXPECT_EQ(at_tail(reader), kPending);
    EXPECT_TRUE(reader.resolve_stuck(table(), false));  // both writers known dead: no grace needed
    ASSERT_EQ(at_tail(reader), 4);
    reader.consume(view_);
    EXPECT_EQ(reader.lost(), 2u);

    // Two reservations at the head through one slot: a slot holds one
    // intent, so the first has no known writer and the grace applies.
    WriterRef dead = writer(4, true);
    reserve_and_die(dead, 200);
    reserve_and_die(dead, 300);
    EXPECT_EQ(at_tail(reader), kPending);
    EXPECT_FALSE(reader.resolve_stuck(table(), false));
    EXPECT_TRUE(reader.resolve_stuck(table(), true));
    EXPECT_EQ(at_tail(reader), kEmpty);
    EXPECT_EQ(reader.lost(), 4u);
    reader.publish();
    ASSERT_TRUE(write(100, 9));
    EXPECT_EQ(at_tail(reader), 9);
}

TEST_F(RingTest, OpeningChecksWhatTheObjectIs) {
    EXPECT_TRUE(RingMap::open(machine(), segment_, kCapacity));
    EXPECT_FALSE(RingMap::open(machine(), segment_, 2 * kCapacity));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    w32rt::Segment missing = segment_;
    missing.what += "-missing";
    EXPECT_FALSE(RingMap::open(machine(), missing, kCapacity));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    ring_->header()->magic = 0;
    EXPECT_FALSE(RingMap::open(machine(), segment_, kCapacity));
    EXPECT_FALSE(RingMap::open_header(machine(), segment_));
    EXPECT_TRUE(ring_->damaged({1, 1, 0, 1}));
    ring_->header()->magic = kRingMagic;
    EXPECT_FALSE(ring_->damaged({1, 1, 0, 1}));
    EXPECT_TRUE(ring_->damaged({1, 1, 0, 2})) << "another consumer generation's ring";
    ring_->header()->capacity = 3;
    EXPECT_FALSE(RingMap::open_header(machine(), segment_));
    EXPECT_TRUE(ring_->damaged({1, 1, 0, 1}));
}

}  // namespace
