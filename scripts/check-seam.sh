#!/usr/bin/env bash
# Fails when a runtime object file other than the system-call seam
# (core/sys.cpp) calls a C library function that can fail for disk, resource
# or permission reasons: such a call would escape fault injection. It reads
# what each compiled object imports, so names the code merely shares with
# those functions (a member called open) do not count.
#
# Usage: scripts/check-seam.sh [BUILD_DIR]      (default: build)
#        scripts/check-seam.sh OBJECT.o ...
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -eq 0 || ($# -eq 1 && -d $1) ]]; then
    build=${1:-build}
    mapfile -t objects < <(find "$build/runtime/CMakeFiles/w32rt_objects.dir" -name '*.o' | sort)
else
    objects=("$@")
fi
if [[ ${#objects[@]} -eq 0 ]]; then
    echo "check-seam: no runtime object files found; build the runtime first" >&2
    exit 2
fi

calls='open|openat|creat|read|pread|readv|preadv|write|pwrite|writev|pwritev|fsync|fdatasync|sync_file_range'
calls+='|rename|renameat|renameat2|link|linkat|symlink|symlinkat|unlink|unlinkat|rmdir|mkdir|mkdirat'
calls+='|truncate|ftruncate|fallocate|posix_fallocate|mmap|mremap|shm_open|shm_unlink|memfd_create'
calls+='|opendir|fdopendir|readdir|readdir_r|scandir|flock|fcntl|lockf'
calls+='|stat|lstat|fstat|fstatat|statx|__xstat|__lxstat|__fxstat|access|faccessat|euidaccess|getcwd'
calls+='|realpath|readlink|readlinkat|chmod|fchmod|fchmodat|chown|fchown|lchown|fchownat'
calls+='|utimensat|futimens|utimes|utime|getxattr|lgetxattr|fgetxattr|setxattr|lsetxattr|fsetxattr'
calls+='|removexattr|fremovexattr|fopen|freopen|fdopen|tmpfile|mkstemp|mkostemp|sendfile|copy_file_range'
forbidden="^(($calls)(64)?|_ZNSt[0-9]+basic_(i|o)?fstream.*|_ZNSt[0-9]+basic_filebuf.*)(@.*)?$"

status=0
for object in "${objects[@]}"; do
    case $object in */core/sys.cpp.o) continue ;; esac
    bad=$(nm -u --format=just-symbols "$object" | grep -E "$forbidden" || true)
    if [[ -n $bad ]]; then
        echo "${object##*/w32rt_objects.dir/} bypasses the seam (runtime/src/core/sys.h): $(echo $bad)"
        status=1
    fi
done
[[ $status -eq 0 ]] && echo "Every system call of the ${#objects[@]} runtime objects goes through the seam."
exit $status
