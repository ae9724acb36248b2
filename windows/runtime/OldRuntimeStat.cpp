// The log tools on the oldest systems the driver supports. libstdc++'s file
// streams (linked statically) import _fstat64 from msvcrt.dll, to learn how
// much a file holds. Only later versions of msvcrt.dll export it (it came
// with the 64-bit time functions, Windows XP's has it); the one of Windows
// 98 and Me has _fstati64, the same call with 32-bit times, and a program
// that imports a function the DLL lacks is refused at load. So the tools
// bring their own _fstat64: its import slot, __imp___fstat64, is defined
// here and points to a routine that asks _fstati64 and widens the times.
// The linker takes this definition before the one of the C run-time's
// import library, and the import is gone (tests/windows/tool-imports.txt
// forbids it).
#include <sys/stat.h>

// msvcrt.dll's own _fstati64 (its struct _stati64 is mingw-w64's
// _stat32i64), through the import library's thunk: the headers name the
// call only through macros that depend on the width of time_t.
extern "C" int __cdecl OldRuntimeFstati64(int fd, struct _stat32i64* status) __asm__("__fstati64");

namespace {

int __cdecl Fstat64(int fd, struct _stat64* status) {
  struct _stat32i64 narrow;
  if (OldRuntimeFstati64(fd, &narrow) != 0)
    return -1;
  status->st_dev = narrow.st_dev;
  status->st_ino = narrow.st_ino;
  status->st_mode = narrow.st_mode;
  status->st_nlink = narrow.st_nlink;
  status->st_uid = narrow.st_uid;
  status->st_gid = narrow.st_gid;
  status->st_rdev = narrow.st_rdev;
  status->st_size = narrow.st_size;
  status->st_atime = narrow.st_atime;
  status->st_mtime = narrow.st_mtime;
  status->st_ctime = narrow.st_ctime;
  return 0;
}

}  // namespace

// The import slot itself: what a call through __declspec(dllimport) reads.
extern "C" {
__attribute__((used)) int(__cdecl* oldRuntimeFstat64Slot)(int, struct _stat64*) __asm__(
    "__imp___fstat64") = Fstat64;
}
