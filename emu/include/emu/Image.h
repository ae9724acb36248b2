// Driver images: a kernel driver as the Windows build links it (a PE file,
// i386, native subsystem) mapped into the emulated machine and run there.
//
// The image loader does what the system loader does before it calls a
// driver's entry point: it checks the file (machine, subsystem, a driver's
// characteristics, the checksum the build stored), maps it afresh for every
// load, applies its base relocations, binds its imports by name to the
// emulated kernel's exports and then protects each section as its flags say
// (code read and execute, data read and write, constants read only). The
// entry point then goes to LoadDriver like any host-built driver's, so the
// I/O manager does not know which drivers came from an image.
//
// A file that fails a check is refused with a status and a message that
// names what is wrong; no check reads outside the file or the mapping.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include <ntddk.h>

// Statuses of a refused image, as the system loader reports them.
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT ((NTSTATUS)0xC000007BL)
#endif
#ifndef STATUS_IMAGE_CHECKSUM_MISMATCH
#define STATUS_IMAGE_CHECKSUM_MISMATCH ((NTSTATUS)0xC0000221L)
#endif
#ifndef STATUS_DLL_NOT_FOUND
#define STATUS_DLL_NOT_FOUND ((NTSTATUS)0xC0000135L)
#endif
#ifndef STATUS_DRIVER_ORDINAL_NOT_FOUND
#define STATUS_DRIVER_ORDINAL_NOT_FOUND ((NTSTATUS)0xC0000262L)
#endif
#ifndef STATUS_DRIVER_ENTRYPOINT_NOT_FOUND
#define STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ((NTSTATUS)0xC0000263L)
#endif

namespace emu {

// One export of the emulated kernel: the module that exports it on Windows
// (ntoskrnl.exe or hal.dll), its name, and the emulated function (or
// variable) with the kernel's own calling convention, so that its address
// serves as an import target directly.
struct KernelExport {
  const char* module;
  const char* name;
  const void* address;
};

// The one table of the emulated kernel's exports, and a lookup in it.
// Module names compare without case, as the loader compares them; function
// names compare exactly.
const KernelExport* KernelExports(size_t* count);
const KernelExport* FindKernelExport(const char* module, const char* name);
// Whether any export comes from the module (a module the kernel has).
bool IsKernelModule(const char* module);

class Image {
 public:
  // Checks and maps the image held in `file` (`size` bytes). `name` (the
  // file's name) begins every message. On failure *image stays empty and
  // *message says why.
  static NTSTATUS Map(const std::string& name, const uint8_t* file, size_t size,
                      std::unique_ptr<Image>* image, std::string* message);
  // The same for a file on the host.
  static NTSTATUS MapFile(const std::string& path, std::unique_ptr<Image>* image,
                          std::string* message);

  // Unmaps the image. Its driver must be gone (unloaded, or its entry point
  // failed): nothing may run its code or read its data any more.
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  PDRIVER_INITIALIZE Entry() const { return entry; }
  const void* Base() const { return base; }
  size_t Size() const { return size; }
  // What the image's base moved by (where it was mapped, less the base it
  // was linked for).
  ptrdiff_t Delta() const { return delta; }

 private:
  Image(void* base, size_t size) : base(base), size(size) {}

  void* base;
  size_t size;
  ptrdiff_t delta = 0;
  PDRIVER_INITIALIZE entry = nullptr;
  bool registered = false;
  friend class ImageMapper;
};

}  // namespace emu
