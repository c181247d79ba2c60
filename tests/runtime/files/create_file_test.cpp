// CreateFileA dispositions and access, reads and writes, the file pointer,
// sizes, times, delete-on-close, bad input and injected failures.
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "core/handle_table.h"
#include "files_test_util.h"

using namespace files_test;

namespace {

class CreateFileTest : public FilesTest {
protected:
    const std::string file = "C:\\data\\report.csv";
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_TRUE(CreateDirectoryA("C:\\data", nullptr));
    }
};

DWORD open_error(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    SetLastError(12345);
    Handle h(open_file(path, access, share, disposition, flags));
    DWORD error = GetLastError();
    return h.valid() ? (error == 12345 ? 0xDEADu : error) : (error == 0 ? 0xBADu : error);
}

}  // namespace

TEST_F(CreateFileTest, DispositionsOnMissingAndExistingFiles) {
    // CREATE_NEW creates, then refuses.
    EXPECT_EQ(open_error(file, GENERIC_WRITE, 0, CREATE_NEW), 0u);
    SetLastError(0);
    EXPECT_FALSE(Handle(open_file(file, GENERIC_WRITE, 0, CREATE_NEW)).valid());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));

    // CREATE_ALWAYS overwrites an existing file and says so.
    ASSERT_TRUE(put_file(file, "old content"));
    EXPECT_EQ(open_error(file, GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(get_file(file), "");
    EXPECT_EQ(open_error("C:\\data\\fresh1.csv", GENERIC_WRITE, 0, CREATE_ALWAYS), 0u);

    // OPEN_ALWAYS keeps the content.
    ASSERT_TRUE(put_file(file, "kept"));
    EXPECT_EQ(open_error(file, GENERIC_READ, 0, OPEN_ALWAYS), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(get_file(file), "kept");
    EXPECT_EQ(open_error("C:\\data\\fresh2.csv", GENERIC_READ, 0, OPEN_ALWAYS), 0u);
    EXPECT_EQ(GetFileAttributesA("C:\\data\\fresh2.csv") & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // OPEN_EXISTING and TRUNCATE_EXISTING tell a missing file from a
    // missing folder.
    EXPECT_EQ(open_error(file, GENERIC_READ, 0, OPEN_EXISTING), 0u);
    EXPECT_EQ(open_error("C:\\data\\none.csv", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\nofolder\\x.csv", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\nofolder\\x.csv", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error(file + "\\inner", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\data\\none.csv", GENERIC_WRITE, 0, TRUNCATE_EXISTING), DWORD(ERROR_FILE_NOT_FOUND));

    // TRUNCATE_EXISTING needs write access and empties the file.
    EXPECT_EQ(open_error(file, GENERIC_READ, 0, TRUNCATE_EXISTING), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(get_file(file), "kept");
    EXPECT_EQ(open_error(file, GENERIC_WRITE, 0, TRUNCATE_EXISTING), 0u);
    EXPECT_EQ(get_file(file), "");

    EXPECT_EQ(open_error(file, GENERIC_READ, 0, 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_error(file, GENERIC_READ, 0, 6), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CreateFileTest, NamesMatchWithoutRegardToCase) {
    ASSERT_TRUE(put_file("C:\\data\\Day.CSV", "abc"));
    EXPECT_EQ(get_file("c:\\DATA\\day.csv"), "abc");
    EXPECT_EQ(get_file("C:/data/DAY.csv"), "abc");
    EXPECT_EQ(open_error("c:\\data\\DAY.CSV", GENERIC_WRITE, 0, CREATE_NEW), DWORD(ERROR_FILE_EXISTS));
}

TEST_F(CreateFileTest, NewFilesGetUsualModesAndReadOnlyAttribute) {
    mode_t mask = umask(022);
    umask(mask);
    ASSERT_TRUE(put_file(file, "x"));
    struct stat st;
    ASSERT_EQ(stat(posix(file).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), DWORD(FILE_ATTRIBUTE_ARCHIVE));

    Handle ro(open_file("C:\\data\\ro.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(ro.valid());
    DWORD n;
    EXPECT_TRUE(WriteFile(ro.get(), "y", 1, &n, nullptr));  // the creating handle may still write
    ASSERT_EQ(stat(posix("C:\\data\\ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_TRUE(GetFileAttributesA("C:\\data\\ro.txt") & FILE_ATTRIBUTE_READONLY);
}

TEST_F(CreateFileTest, HandleAccessIsEnforced) {
    Handle w(open_file(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW));
    ASSERT_TRUE(w.valid());
    char buf[8];
    DWORD n = 99;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(w.get(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    FILETIME ft;
    EXPECT_FALSE(GetFileTime(w.get(), &ft, nullptr, nullptr));  // GENERIC_WRITE cannot read attributes
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    Handle r(open_file(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(r.valid());
    EXPECT_FALSE(WriteFile(r.get(), "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(r.get()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FlushFileBuffers(r.get()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetFileTime(r.get(), &ft, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(FlushFileBuffers(w.get()));
}

TEST_F(CreateFileTest, AppendOnlyAccessWritesAtTheEnd) {
    ASSERT_TRUE(put_file(file, "0123456789"));
    Handle a(open_file(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    Handle b(open_file(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(a.valid() && b.valid());
    DWORD n;
    EXPECT_EQ(SetFilePointer(a.get(), 2, nullptr, FILE_BEGIN), 2u);
    ASSERT_TRUE(WriteFile(a.get(), "A", 1, &n, nullptr));
    ASSERT_TRUE(WriteFile(b.get(), "B", 1, &n, nullptr));
    OVERLAPPED at_start = {};
    ASSERT_TRUE(WriteFile(a.get(), "C", 1, &n, &at_start));
    EXPECT_EQ(get_file(file), "0123456789ABC");
    // Append-only access cannot truncate.
    EXPECT_FALSE(SetEndOfFile(a.get()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(CreateFileTest, ReadsWritesAndPositionedTransfers) {
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h.get(), "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    char buf[32] = {};
    ASSERT_TRUE(ReadFile(h.get(), buf, sizeof buf, &n, nullptr));  // at the end: success, nothing read
    EXPECT_EQ(n, 0u);

    OVERLAPPED ov = {};
    ov.Offset = 6;
    ASSERT_TRUE(ReadFile(h.get(), buf, 5, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "world");
    EXPECT_EQ(ov.InternalHigh, 5u);
    EXPECT_EQ(SetFilePointer(h.get(), 0, nullptr, FILE_CURRENT), 11u);  // the pointer followed the transfer

    // The OVERLAPPED's event is reset, then set when the transfer is done.
    HANDLE done = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(done, nullptr);
    ov = {};
    ov.Offset = 0;
    ov.hEvent = done;
    ASSERT_TRUE(WriteFile(h.get(), "J", 1, nullptr, &ov));
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    ResetEvent(done);
    ov.hEvent = HANDLE(uintptr_t(done) | 1);  // the low bit is not part of the handle
    ASSERT_TRUE(ReadFile(h.get(), buf, 1, &n, &ov));
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    CloseHandle(done);
    ov.hEvent = nullptr;
    ov.Offset = 100;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h.get(), buf, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));
    EXPECT_EQ(n, 0u);

    // Writing past the end fills the gap with zeros.
    EXPECT_EQ(SetFilePointer(h.get(), 3, nullptr, FILE_END), 14u);
    ASSERT_TRUE(WriteFile(h.get(), "!", 1, &n, nullptr));
    EXPECT_EQ(get_file(file), std::string("Jello world\0\0\0!", 15));
    EXPECT_EQ(GetFileSize(h.get(), nullptr), 15u);

    // Truncation at the pointer.
    EXPECT_EQ(SetFilePointer(h.get(), 5, nullptr, FILE_BEGIN), 5u);
    ASSERT_TRUE(SetEndOfFile(h.get()));
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
    EXPECT_EQ(size.QuadPart, 5);
    EXPECT_EQ(get_file(file), "Jello");
    // A zero-length write changes nothing.
    ASSERT_TRUE(WriteFile(h.get(), "", 0, &n, nullptr));
    EXPECT_EQ(GetFileSize(h.get(), nullptr), 5u);
}

TEST_F(CreateFileTest, FilePointerLimitsAndTheAmbiguousLowPart) {
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(SetFilePointer(h.get(), 100, nullptr, FILE_BEGIN), 100u);

    SetLastError(0);
    EXPECT_EQ(SetFilePointer(h.get(), -101, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h.get(), 0, nullptr, FILE_CURRENT), 100u);  // unchanged

    // Without the high part the result must fit in 32 bits.
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h.get(), -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // high 0: 4 GiB - 1
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(high, 0);
    SetLastError(7);
    EXPECT_EQ(SetFilePointer(h.get(), 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // 5 GiB with the high part.
    high = 1;
    EXPECT_EQ(SetFilePointer(h.get(), 0x40000000, &high, FILE_BEGIN), 0x40000000u);
    EXPECT_EQ(high, 1);
    LARGE_INTEGER where, moved;
    where.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(h.get(), where, &moved, FILE_CURRENT));
    EXPECT_EQ(moved.QuadPart, 0x140000000LL);
    ASSERT_TRUE(SetEndOfFile(h.get()));  // sparse
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h.get(), &size_high), 0x40000000u);
    EXPECT_EQ(size_high, 1u);

    // A size whose low part is INVALID_FILE_SIZE is told from a failure.
    where.QuadPart = 0xFFFFFFFFLL;
    ASSERT_TRUE(SetFilePointerEx(h.get(), where, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h.get()));
    SetLastError(9);
    EXPECT_EQ(GetFileSize(h.get(), &size_high), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(size_high, 0u);

    where.QuadPart = -1;
    EXPECT_FALSE(SetFilePointerEx(h.get(), where, nullptr, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    where.QuadPart = 0;
    EXPECT_FALSE(SetFilePointerEx(h.get(), where, nullptr, 3));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CreateFileTest, TimesAreStampedAndSettable) {
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_GE(ticks(created), ticks(before));
    EXPECT_LT(ticks(created), ticks(before) + 60 * kSecond);

    const uint64_t c = 132000000000000000ull + 1234567, a = 133000000000000000ull + 7654321,
                   w = 133100000000000000ull + 1111111;
    FILETIME fc = filetime(c), fa = filetime(a), fw = filetime(w), zero = filetime(0);
    ASSERT_TRUE(SetFileTime(h.get(), &fc, &fa, &fw));
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_EQ(ticks(created), c);
    EXPECT_EQ(ticks(accessed), a);
    EXPECT_EQ(ticks(written), w);
    // Null and zero leave a time as it is.
    FILETIME later = filetime(w + kDay);
    ASSERT_TRUE(SetFileTime(h.get(), &zero, nullptr, &later));
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_EQ(ticks(created), c);
    EXPECT_EQ(ticks(accessed), a);
    EXPECT_EQ(ticks(written), w + kDay);

    // Another handle, and the attribute query by name, see the same.
    Handle other(open_file(file, FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING));
    ASSERT_TRUE(other.valid());
    ASSERT_TRUE(GetFileTime(other.get(), &created, nullptr, nullptr));
    EXPECT_EQ(ticks(created), c);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(ticks(data.ftCreationTime), c);
    EXPECT_EQ(ticks(data.ftLastWriteTime), w + kDay);

    FILETIME negative = filetime(0x8000000000000001ull);
    EXPECT_FALSE(SetFileTime(h.get(), &negative, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CreateFileTest, TestClockStampsCreationAndWrites) {
    w32rt_set_clock_offset(-40 * kDay);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    DWORD n;
    ASSERT_TRUE(WriteFile(h.get(), "x", 1, &n, nullptr));
    FILETIME created, written;
    ASSERT_TRUE(GetFileTime(h.get(), &created, nullptr, &written));
    EXPECT_LT(std::llabs(int64_t(ticks(created)) - int64_t(ticks(now))), 60 * kSecond);
    EXPECT_LT(std::llabs(int64_t(ticks(written)) - int64_t(ticks(now))), 60 * kSecond);

    // Overwriting keeps the creation time.
    w32rt_set_clock_offset(0);
    h.reset();
    ASSERT_TRUE(put_file(file, "new"));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(ticks(data.ftCreationTime), ticks(created));
    EXPECT_GT(ticks(data.ftLastWriteTime), ticks(created) + 39 * kDay);
}

TEST_F(CreateFileTest, MalformedCreationAttributeFallsBack) {
    ASSERT_TRUE(put_file(file, "x"));
    std::string p = posix(file);
    ASSERT_EQ(setxattr(p.c_str(), "user.w32rt.crtime", "garbage!!", 9, 0), 0);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data));
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    // The file system's birth time (or last write) stands in; never garbage.
    EXPECT_GT(ticks(data.ftCreationTime), 116444736000000000ull);
    EXPECT_LE(ticks(data.ftCreationTime), ticks(data.ftLastWriteTime) + kSecond);
}

TEST_F(CreateFileTest, DeleteOnCloseRemovesTheFileWithTheLastHandle) {
    Handle h(open_file(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                       FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(h.valid());
    // The handle has delete access: others must share deletion.
    EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING),
              0u);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h.get(), GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    h.reset();
    EXPECT_NE(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    CloseHandle(dup);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(CreateFileTest, FoldersOpenOnlyWithBackupSemantics) {
    EXPECT_EQ(open_error("C:\\data", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), DWORD(ERROR_ACCESS_DENIED));
    Handle d(open_file("C:\\data", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(d.valid());
    FILETIME created;
    EXPECT_TRUE(GetFileTime(d.get(), &created, nullptr, nullptr));
    char buf[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(d.get(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(open_error("C:\\data", GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
              DWORD(ERROR_ACCESS_DENIED));

    // An empty folder opened to be deleted on close goes with its handle.
    ASSERT_TRUE(CreateDirectoryA("C:\\data\\empty", nullptr));
    Handle gone(open_file("C:\\data\\empty", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(gone.valid());
    EXPECT_EQ(GetFileAttributesA("C:\\data\\empty"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    gone.reset();
    EXPECT_EQ(GetFileAttributesA("C:\\data\\empty"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CreateFileTest, BadArgumentsAndHandles) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_error("", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\data\\a*b", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(open_error("C:\\data\\a?b", GENERIC_WRITE, 0, CREATE_ALWAYS), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(open_error("\\\\server\\share\\x", GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_BAD_PATHNAME));
    EXPECT_EQ(open_error(file, GENERIC_WRITE, 0x10, CREATE_ALWAYS), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_error(file, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED), DWORD(ERROR_NOT_SUPPORTED));

    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(h.valid());
    char buf[4];
    DWORD n;
    EXPECT_FALSE(ReadFile(h.get(), buf, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ReadFile(h.get(), nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WriteFile(h.get(), nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetFileSizeEx(h.get(), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HANDLE closed = h.get();
    h.reset();
    WIN32_FIND_DATAA fd;
    HANDLE search = FindFirstFileA("C:\\data\\*", &fd);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    for (HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE(nullptr), closed, search, HANDLE(uintptr_t(0x1234))}) {
        SetLastError(0);
        EXPECT_FALSE(ReadFile(bad, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WriteFile(bad, "x", 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(GetFileTime(bad, nullptr, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    // A search closes with FindClose only; a file never does.
    EXPECT_FALSE(CloseHandle(search));
    Handle other(open_file(file, GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_FALSE(FindClose(other.get()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FindClose(search));
}

TEST_F(CreateFileTest, DiskFullAtTheNthWriteFailsCleanly) {
    Handle h(open_file(file, GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    w32rt_fail_syscall("write", 2, ENOSPC);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h.get(), "first,", 6, &n, nullptr));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h.get(), "second", 6, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WriteFile(h.get(), "third", 5, &n, nullptr));  // the fault fired once
    h.reset();
    EXPECT_EQ(get_file(file), "first,third");

    w32rt_fail_syscall("read", 1, EIO);
    Handle r(open_file(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    char buf[8];
    EXPECT_FALSE(ReadFile(r.get(), buf, sizeof buf, &n, nullptr));
    EXPECT_NE(GetLastError(), DWORD(ERROR_SUCCESS));
}

TEST_F(CreateFileTest, FailedOpensLeaveNoHandleBehind) {
    ASSERT_TRUE(put_file(file, "x"));
    size_t open_before = w32rt::HandleTable::instance().open_count();
    w32rt_fail_syscall("open", 1, EMFILE);
    EXPECT_EQ(open_error(file, GENERIC_READ, 0, OPEN_EXISTING), DWORD(ERROR_TOO_MANY_OPEN_FILES));
    Handle holder(open_file(file, GENERIC_READ, 0, OPEN_EXISTING));
    ASSERT_TRUE(holder.valid());
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), DWORD(ERROR_SHARING_VIOLATION));
    holder.reset();
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), open_before);
}
