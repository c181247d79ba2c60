#include "registry/sqlite_vfs.h"

#include <errno.h>
#include <sqlite3.h>

#include "core/sys.h"

namespace w32rt::registry {

namespace {

using sys::Call;

// The shim's file: SQLite allocates szOsFile bytes, the unix VFS's file
// object follows ours.
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_vfs* g_real = nullptr;

sqlite3_file* real_of(sqlite3_file* file) { return reinterpret_cast<ShimFile*>(file)->real; }
const sqlite3_io_methods* methods_of(sqlite3_file* file) { return real_of(file)->pMethods; }

// What the unix VFS reports for an errno of a lock call: contention is
// SQLITE_BUSY, anything else an I/O error of the lock.
int lock_error(int err) {
    return err == EAGAIN || err == EACCES || err == EBUSY || err == EINTR ? SQLITE_BUSY : SQLITE_IOERR_LOCK;
}

// What a refused write or size change is: a full disk, else an I/O error.
int space_error(int io_error) { return errno == ENOSPC ? SQLITE_FULL : io_error; }

// ---- File methods ----------------------------------------------------------

int shim_close(sqlite3_file* file) { return methods_of(file)->xClose(real_of(file)); }

int shim_read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    if (sys::injected(Call::Read)) return SQLITE_IOERR_READ;
    return methods_of(file)->xRead(real_of(file), buffer, amount, offset);
}

int shim_write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (sys::injected(Call::Write)) return space_error(SQLITE_IOERR_WRITE);
    return methods_of(file)->xWrite(real_of(file), buffer, amount, offset);
}

int shim_truncate(sqlite3_file* file, sqlite3_int64 size) {
    if (sys::injected(Call::Ftruncate)) return space_error(SQLITE_IOERR_TRUNCATE);
    return methods_of(file)->xTruncate(real_of(file), size);
}

int shim_sync(sqlite3_file* file, int flags) {
    if (sys::injected(Call::Fsync)) return SQLITE_IOERR_FSYNC;
    return methods_of(file)->xSync(real_of(file), flags);
}

int shim_file_size(sqlite3_file* file, sqlite3_int64* size) {
    if (sys::injected(Call::Stat)) return SQLITE_IOERR_FSTAT;
    return methods_of(file)->xFileSize(real_of(file), size);
}

int shim_lock(sqlite3_file* file, int level) {
    if (sys::injected(Call::Lock)) return lock_error(errno);
    return methods_of(file)->xLock(real_of(file), level);
}

int shim_unlock(sqlite3_file* file, int level) { return methods_of(file)->xUnlock(real_of(file), level); }

int shim_check_reserved_lock(sqlite3_file* file, int* out) {
    return methods_of(file)->xCheckReservedLock(real_of(file), out);
}

int shim_file_control(sqlite3_file* file, int op, void* arg) {
    return methods_of(file)->xFileControl(real_of(file), op, arg);
}

int shim_sector_size(sqlite3_file* file) { return methods_of(file)->xSectorSize(real_of(file)); }

int shim_device_characteristics(sqlite3_file* file) {
    return methods_of(file)->xDeviceCharacteristics(real_of(file));
}

int shim_shm_map(sqlite3_file* file, int page, int page_size, int extend, void volatile** out) {
    if (sys::injected(Call::Mmap)) return SQLITE_IOERR_SHMMAP;
    return methods_of(file)->xShmMap(real_of(file), page, page_size, extend, out);
}

int shim_shm_lock(sqlite3_file* file, int offset, int n, int flags) {
    // The unix VFS reports every refused shared-memory lock as contention.
    if ((flags & SQLITE_SHM_LOCK) && sys::injected(Call::Lock)) return SQLITE_BUSY;
    return methods_of(file)->xShmLock(real_of(file), offset, n, flags);
}

void shim_shm_barrier(sqlite3_file* file) { methods_of(file)->xShmBarrier(real_of(file)); }

int shim_shm_unmap(sqlite3_file* file, int delete_flag) {
    return methods_of(file)->xShmUnmap(real_of(file), delete_flag);
}

int shim_fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    return methods_of(file)->xFetch(real_of(file), offset, amount, out);
}

int shim_unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return methods_of(file)->xUnfetch(real_of(file), offset, page);
}

const sqlite3_io_methods kMethods = {
    3,
    shim_close,
    shim_read,
    shim_write,
    shim_truncate,
    shim_sync,
    shim_file_size,
    shim_lock,
    shim_unlock,
    shim_check_reserved_lock,
    shim_file_control,
    shim_sector_size,
    shim_device_characteristics,
    shim_shm_map,
    shim_shm_lock,
    shim_shm_barrier,
    shim_shm_unmap,
    shim_fetch,
    shim_unfetch,
};

// ---- VFS methods -----------------------------------------------------------

int vfs_open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    auto* shim = reinterpret_cast<ShimFile*>(file);
    shim->base.pMethods = nullptr;
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    if (sys::injected(Call::Open)) return SQLITE_CANTOPEN;
    int rc = g_real->xOpen(g_real, name, shim->real, flags, out_flags);
    // SQLite closes a file whose methods are set, even after a failed open;
    // ours are set exactly when the unix VFS set its own.
    if (shim->real->pMethods) {
        // Every method of version 3 is forwarded; the unix VFS has them all.
        if (shim->real->pMethods->iVersion < 3) {
            shim->real->pMethods->xClose(shim->real);
            shim->real->pMethods = nullptr;
            return SQLITE_CANTOPEN;
        }
        shim->base.pMethods = &kMethods;
    }
    return rc;
}

int vfs_delete(sqlite3_vfs*, const char* name, int sync_dir) {
    if (sys::injected(Call::Unlink)) return SQLITE_IOERR_DELETE;
    return g_real->xDelete(g_real, name, sync_dir);
}

int vfs_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    if (sys::injected(Call::Stat)) return SQLITE_IOERR_ACCESS;
    return g_real->xAccess(g_real, name, flags, out);
}

int vfs_full_pathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return g_real->xFullPathname(g_real, name, size, out);
}

void* vfs_dl_open(sqlite3_vfs*, const char* name) { return g_real->xDlOpen(g_real, name); }
void vfs_dl_error(sqlite3_vfs*, int size, char* out) { g_real->xDlError(g_real, size, out); }
void (*vfs_dl_sym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_real->xDlSym(g_real, handle, symbol);
}
void vfs_dl_close(sqlite3_vfs*, void* handle) { g_real->xDlClose(g_real, handle); }
int vfs_randomness(sqlite3_vfs*, int size, char* out) { return g_real->xRandomness(g_real, size, out); }
int vfs_sleep(sqlite3_vfs*, int microseconds) { return g_real->xSleep(g_real, microseconds); }
int vfs_current_time(sqlite3_vfs*, double* out) { return g_real->xCurrentTime(g_real, out); }
int vfs_get_last_error(sqlite3_vfs*, int size, char* out) { return g_real->xGetLastError(g_real, size, out); }
int vfs_current_time_int64(sqlite3_vfs*, sqlite3_int64* out) { return g_real->xCurrentTimeInt64(g_real, out); }

sqlite3_vfs* make_shim() {
    g_real = sqlite3_vfs_find(nullptr);
    if (!g_real || g_real->iVersion < 2) return nullptr;
    static sqlite3_vfs shim = {};
    shim.iVersion = 2;
    shim.szOsFile = int(sizeof(ShimFile)) + g_real->szOsFile;
    shim.mxPathname = g_real->mxPathname;
    shim.zName = "w32rt";
    shim.xOpen = vfs_open;
    shim.xDelete = vfs_delete;
    shim.xAccess = vfs_access;
    shim.xFullPathname = vfs_full_pathname;
    shim.xDlOpen = vfs_dl_open;
    shim.xDlError = vfs_dl_error;
    shim.xDlSym = vfs_dl_sym;
    shim.xDlClose = vfs_dl_close;
    shim.xRandomness = vfs_randomness;
    shim.xSleep = vfs_sleep;
    shim.xCurrentTime = vfs_current_time;
    shim.xGetLastError = vfs_get_last_error;
    shim.xCurrentTimeInt64 = vfs_current_time_int64;
    if (sqlite3_vfs_register(&shim, 0) != SQLITE_OK) return nullptr;
    return &shim;
}

}  // namespace

const char* seam_vfs_name() {
    static sqlite3_vfs* const shim = make_shim();
    return shim ? shim->zName : nullptr;
}

}  // namespace w32rt::registry
