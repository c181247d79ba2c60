// CreateFileA dispositions and access, reads and writes, the file pointer,
// times, delete-on-close, bad input and injected failures.
#include <errno.h>
#include <sys/stat.h>
#include <sys/xattr.h>

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

}  // namespace

TEST_F(CreateFileTest, DispositionsOnMissingAndExistingFiles) {
    constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;
    // Each row opens `path` (with `before` written to it first, unless null)
    // and leaves `after` in `file`.
    struct Case {
        const char* path;
        const char* before;
        DWORD access, disposition, error;
        const char* after;
    } cases[] = {
        {"C:\\data\\report.csv", nullptr, W, CREATE_NEW, 0, ""},
        {"c:\\DATA\\Report.CSV", nullptr, W, CREATE_NEW, ERROR_FILE_EXISTS, ""},
        {"C:\\data\\report.csv", "old", W, CREATE_ALWAYS, ERROR_ALREADY_EXISTS, ""},
        {"C:\\data\\fresh1.csv", nullptr, W, CREATE_ALWAYS, 0, ""},
        {"C:\\data\\report.csv", "kept", R, OPEN_ALWAYS, ERROR_ALREADY_EXISTS, "kept"},
        {"C:\\data\\fresh2.csv", nullptr, R, OPEN_ALWAYS, 0, "kept"},
        {"C:\\data\\report.csv", nullptr, R, OPEN_EXISTING, 0, "kept"},
        {"C:\\data\\none.csv", nullptr, R, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, "kept"},
        {"C:\\nofolder\\x.csv", nullptr, W, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, "kept"},
        {"C:\\data\\report.csv\\inner", nullptr, R, OPEN_EXISTING, ERROR_PATH_NOT_FOUND, "kept"},
        {"C:\\data\\none.csv", nullptr, W, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, "kept"},
        {"C:\\data\\report.csv", nullptr, R, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER, "kept"},  // needs writing
        {"C:\\data\\report.csv", nullptr, R, 0, ERROR_INVALID_PARAMETER, "kept"},
        {"C:\\data\\report.csv", nullptr, R, 6, ERROR_INVALID_PARAMETER, "kept"},
        {"C:\\data\\report.csv", nullptr, W, TRUNCATE_EXISTING, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " disposition " + std::to_string(c.disposition));
        if (c.before) {
            ASSERT_TRUE(put_file(c.path, c.before));
        }
        EXPECT_EQ(open_error(c.path, c.access, 0, c.disposition), c.error);
        EXPECT_EQ(get_file(file), c.after);
    }
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
    DWORD n;
    EXPECT_TRUE(WriteFile(ro.get(), "y", 1, &n, nullptr));  // the creating handle may still write
    EXPECT_EQ(GetFileAttributesA("C:\\data\\ro.txt"), DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    ro.reset();
    EXPECT_FAILS(DeleteFileA("C:\\data\\ro.txt"), FALSE, ERROR_ACCESS_DENIED);
}

TEST_F(CreateFileTest, AccessDecidesWhatAHandleMayDo) {
    ASSERT_TRUE(put_file(file, "0123456789"));
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    Handle w(open_file(file, GENERIC_WRITE, kShare, OPEN_EXISTING));
    Handle r(open_file(file, GENERIC_READ, kShare, OPEN_EXISTING));
    Handle a(open_file(file, FILE_APPEND_DATA, kShare, OPEN_EXISTING));
    Handle b(open_file(file, FILE_APPEND_DATA, kShare, OPEN_EXISTING));
    ASSERT_TRUE(w.valid() && r.valid() && a.valid() && b.valid());
    char buf[8];
    DWORD n = 99;
    FILETIME ft = filetime(kDay);
    EXPECT_FAILS(ReadFile(w.get(), buf, sizeof buf, &n, nullptr), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    EXPECT_FAILS(GetFileTime(w.get(), &ft, nullptr, nullptr), FALSE, ERROR_ACCESS_DENIED);  // no attribute reading
    EXPECT_FAILS(WriteFile(r.get(), "x", 1, &n, nullptr), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(SetEndOfFile(r.get()), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(SetFileTime(r.get(), &ft, nullptr, nullptr), FALSE, ERROR_ACCESS_DENIED);

    // Append-only handles write at the end, wherever their pointer or an
    // OVERLAPPED points, and cannot truncate.
    EXPECT_EQ(SetFilePointer(a.get(), 2, nullptr, FILE_BEGIN), 2u);
    ASSERT_TRUE(WriteFile(a.get(), "A", 1, &n, nullptr));
    ASSERT_TRUE(WriteFile(b.get(), "B", 1, &n, nullptr));
    OVERLAPPED at_start = {};
    ASSERT_TRUE(WriteFile(a.get(), "C", 1, &n, &at_start));
    EXPECT_EQ(get_file(file), "0123456789ABC");
    EXPECT_FAILS(SetEndOfFile(a.get()), FALSE, ERROR_ACCESS_DENIED);

    // Folders open only with backup semantics and not for writing; they
    // have times but no data.
    EXPECT_EQ(open_error("C:\\data", GENERIC_READ, FILE_SHARE_READ), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open_error("C:\\data", GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
              DWORD(ERROR_ACCESS_DENIED));
    Handle d(open_file("C:\\data", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(GetFileTime(d.get(), &ft, nullptr, nullptr));
    EXPECT_FAILS(ReadFile(d.get(), buf, sizeof buf, &n, nullptr), FALSE, ERROR_INVALID_FUNCTION);
}

TEST_F(CreateFileTest, ReadsWritesAndPositionedTransfers) {
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h.get(), "hello world", 11, &n, nullptr));
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
    EXPECT_FAILS(ReadFile(h.get(), buf, 4, &n, &ov), FALSE, ERROR_HANDLE_EOF);
    EXPECT_EQ(n, 0u);

    // Writing past the end fills the gap with zeros; truncation cuts at the
    // pointer.
    EXPECT_EQ(SetFilePointer(h.get(), 3, nullptr, FILE_END), 14u);
    ASSERT_TRUE(WriteFile(h.get(), "!", 1, &n, nullptr));
    EXPECT_EQ(get_file(file), std::string("Jello world\0\0\0!", 15));
    EXPECT_EQ(SetFilePointer(h.get(), 5, nullptr, FILE_BEGIN), 5u);
    ASSERT_TRUE(SetEndOfFile(h.get()));
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
    EXPECT_EQ(size.QuadPart, 5);
    EXPECT_EQ(get_file(file), "Jello");
}

TEST_F(CreateFileTest, FilePointerLimitsAndTheAmbiguousLowPart) {
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(SetFilePointer(h.get(), 100, nullptr, FILE_BEGIN), 100u);
    EXPECT_FAILS(SetFilePointer(h.get(), -101, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h.get(), 0, nullptr, FILE_CURRENT), 100u);  // unchanged
    EXPECT_FAILS(SetFilePointer(h.get(), 0, nullptr, 3), INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);

    // Without the high part the result must fit in 32 bits; a low part
    // that reads as INVALID_SET_FILE_POINTER is told by a last error of 0.
    LONG high = 0;
    SetLastError(7);
    EXPECT_EQ(SetFilePointer(h.get(), -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // high 0: 4 GiB - 1
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(high, 0);
    EXPECT_FAILS(SetFilePointer(h.get(), 2, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER,
                 ERROR_INVALID_PARAMETER);

    // 5 GiB with the high part (a sparse file).
    high = 1;
    EXPECT_EQ(SetFilePointer(h.get(), 0x40000000, &high, FILE_BEGIN), 0x40000000u);
    ASSERT_TRUE(SetEndOfFile(h.get()));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(h.get(), &size_high), 0x40000000u);
    EXPECT_EQ(size_high, 1u);
}

TEST_F(CreateFileTest, TimesAreStampedAndSettable) {
    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    // A malformed kept creation time is ignored: the file system's birth
    // time (or last write) stands in, never garbage.
    ASSERT_EQ(setxattr(posix(file).c_str(), "user.w32rt.crtime", "garbage!!", 9, 0), 0);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_GT(ticks(created), 116444736000000000ull);
    EXPECT_LE(ticks(created), ticks(written) + kSecond);

    const uint64_t c = 132000000000000000ull + 1234567, a = 133000000000000000ull + 7654321,
                   w = 133100000000000000ull + 1111111;
    FILETIME fc = filetime(c), fa = filetime(a), fw = filetime(w), zero = filetime(0), later = filetime(w + kDay);
    ASSERT_TRUE(SetFileTime(h.get(), &fc, &fa, &fw));
    // Null and zero leave a time as it is.
    ASSERT_TRUE(SetFileTime(h.get(), &zero, nullptr, &later));
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_EQ(ticks(created), c);
    EXPECT_EQ(ticks(accessed), a);
    EXPECT_EQ(ticks(written), w + kDay);
    FILETIME negative = filetime(0x8000000000000001ull);
    EXPECT_FAILS(SetFileTime(h.get(), &negative, nullptr, nullptr), FALSE, ERROR_INVALID_PARAMETER);

    // Overwriting keeps the creation time; writes under the test clock carry
    // its time.
    h.reset();
    w32rt_set_clock_offset(-40 * kDay);
    ASSERT_TRUE(put_file(file, "new"));
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(ticks(data.ftCreationTime), c);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_LT(std::llabs(int64_t(ticks(data.ftLastWriteTime)) - int64_t(ticks(now))), 60 * kSecond);
}

TEST_F(CreateFileTest, DeleteOnCloseRemovesTheFileOrEmptyFolderWithTheLastHandle) {
    Handle h(open_file(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                       FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(h.valid());
    // The handle has delete access: others must share deletion.
    EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), 0u);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h.get(), GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    h.reset();
    // The duplicate keeps both the file and the reservation.
    EXPECT_NE(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(dup);
    EXPECT_FAILS(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(CreateDirectoryA("C:\\data\\empty", nullptr));
    h.reset(open_file("C:\\data\\empty", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(GetFileAttributesA("C:\\data\\empty"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    h.reset();
    EXPECT_EQ(GetFileAttributesA("C:\\data\\empty"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CreateFileTest, BadArgumentsAndHandles) {
    EXPECT_FAILS(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE,
                 ERROR_INVALID_PARAMETER);
    struct Case {
        const char* path;
        DWORD share, flags, error;
    } opens[] = {
        {"", 0, 0, ERROR_PATH_NOT_FOUND},
        {"C:\\data\\a*b", 0, 0, ERROR_INVALID_NAME},
        {"\\\\server\\share\\x", 0, 0, ERROR_BAD_PATHNAME},
        {"C:\\data\\x", 0x10, 0, ERROR_INVALID_PARAMETER},
        {"C:\\data\\x", 0, FILE_FLAG_OVERLAPPED, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : opens)
        EXPECT_EQ(open_error(c.path, GENERIC_WRITE, c.share, CREATE_ALWAYS, c.flags), c.error) << c.path;

    Handle h(open_file(file, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(h.valid());
    char buf[4];
    DWORD n;
    EXPECT_FAILS(ReadFile(h.get(), buf, sizeof buf, nullptr, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(ReadFile(h.get(), nullptr, 4, &n, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WriteFile(h.get(), nullptr, 4, &n, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(GetFileSizeEx(h.get(), nullptr), FALSE, ERROR_INVALID_PARAMETER);

    HANDLE closed = h.get();
    h.reset();
    WIN32_FIND_DATAA fd;
    HANDLE search = FindFirstFileA("C:\\data\\*", &fd);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    for (HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE(nullptr), closed, search, HANDLE(uintptr_t(0x1234))}) {
        EXPECT_FAILS(ReadFile(bad, buf, sizeof buf, &n, nullptr), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS(WriteFile(bad, "x", 1, &n, nullptr), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER, ERROR_INVALID_HANDLE);
        EXPECT_FAILS(GetFileTime(bad, nullptr, nullptr, nullptr), FALSE, ERROR_INVALID_HANDLE);
    }
    // A search closes with FindClose only.
    Handle other(open_file(file, GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_FAILS(FindClose(other.get()), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(FindClose(search));
}

TEST_F(CreateFileTest, InjectedFailuresFailCleanly) {
    Handle h(open_file(file, GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    w32rt_fail_syscall("write", 2, ENOSPC);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h.get(), "first,", 6, &n, nullptr));
    EXPECT_FAILS(WriteFile(h.get(), "second", 6, &n, nullptr), FALSE, ERROR_DISK_FULL);
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WriteFile(h.get(), "third", 5, &n, nullptr));  // the fault fired once
    h.reset();
    EXPECT_EQ(get_file(file), "first,third");

    w32rt_fail_syscall("read", 1, EIO);
    Handle r(open_file(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    char buf[8];
    EXPECT_FAILS(ReadFile(r.get(), buf, sizeof buf, &n, nullptr), FALSE, ERROR_GEN_FAILURE);
    r.reset();

    // Failed opens leave no handle behind.
    size_t open_before = w32rt::HandleTable::instance().open_count();
    w32rt_fail_syscall("open", 1, EMFILE);
    EXPECT_EQ(open_error(file, GENERIC_READ, 0), DWORD(ERROR_TOO_MANY_OPEN_FILES));
    Handle holder(open_file(file, GENERIC_READ, 0, OPEN_EXISTING));
    ASSERT_TRUE(holder.valid());
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(open_error(file, GENERIC_READ, FILE_SHARE_READ), DWORD(ERROR_SHARING_VIOLATION));
    holder.reset();
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), open_before);
}
