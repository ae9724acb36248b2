// The image loader: maps a driver's PE file as the system loader does and
// hands its entry point to the driver loader.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "emu/Image.h"
#include "KernelInternal.h"
#include "emu/SystemStartStage.h"

namespace emu {
namespace {

// The parts of the PE format the loader reads, i386 (PE32) layouts.
struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};
struct OptionalHeader32 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint32_t BaseOfData;
  uint32_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t OsVersion[2];
  uint16_t ImageVersion[2];
  uint16_t SubsystemVersion[2];
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t StackAndHeap[4];
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory Directory[16];
};
struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};
struct ImportDescriptor {
  uint32_t OriginalFirstThunk;
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;
  uint32_t FirstThunk;
};
struct RelocationBlock {
  uint32_t PageRva;
  uint32_t SizeOfBlock;
};
static_assert(sizeof(FileHeader) == 20, "IMAGE_FILE_HEADER");
static_assert(sizeof(OptionalHeader32) == 224, "IMAGE_OPTIONAL_HEADER32");
static_assert(offsetof(OptionalHeader32, CheckSum) == 64, "CheckSum");
static_assert(offsetof(OptionalHeader32, Subsystem) == 68, "Subsystem");
static_assert(offsetof(OptionalHeader32, NumberOfRvaAndSizes) == 92, "NumberOfRvaAndSizes");
static_assert(sizeof(SectionHeader) == 40, "IMAGE_SECTION_HEADER");
static_assert(sizeof(ImportDescriptor) == 20, "IMAGE_IMPORT_DESCRIPTOR");
static_assert(sizeof(RelocationBlock) == 8, "IMAGE_BASE_RELOCATION");

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelocationsStripped = 0x0001;
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t k32BitMachine = 0x0100;
constexpr uint16_t kDll = 0x2000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kOrdinalFlag = 0x80000000;
constexpr unsigned kDirectoryImport = 1;
constexpr unsigned kDirectoryRelocation = 5;
constexpr unsigned kDirectoryTls = 9;
constexpr unsigned kRelocationAbsolute = 0;
constexpr unsigned kRelocationHighLow = 3;
// No driver comes near this; a larger SizeOfImage is a damaged header.
constexpr uint32_t kMaxImageSize = 64u << 20;
constexpr size_t kMaxNameLength = 256;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// The image checksum the build stores: the file as 16-bit words (the
// CheckSum field taken as zero) summed with end-around carry, plus the
// file's length.
uint32_t ComputeChecksum(const uint8_t* file, size_t size, size_t checksumOffset) {
  uint64_t total = 0;
  for (size_t i = 0; i < size; i += 2) {
    if (i >= checksumOffset && i < checksumOffset + 4)
      continue;
    uint32_t word = file[i];
    if (i + 1 < size)
      word |= uint32_t(file[i + 1]) << 8;
    total += word;
    total = (total & 0xFFFF) + (total >> 16);
  }
  total = (total & 0xFFFF) + (total >> 16);
  return uint32_t(total + size);
}

// ---------------------------------------------------------------------------
// The Windows 98/Me service call, and faults in image code.
//
// A driver on Windows 98/Me asks the virtual machine manager for the system
// start stage with INT 20h and the service word 0x00010111 behind it. The
// VMM replaces such a call site by a direct call the first time it runs;
// the loader does the same when it maps the image (see PatchVmmCalls), so
// the call never faults. It must not fault: a signal handler that answered
// it would work natively, but qemu-i386 reloads the thread-pointer segment
// from its process-wide descriptor table at the handler's return, and the
// thread then goes on with another thread's thread-local data (its IRQL,
// its spin-lock owner token). The answer is the stage the emulated machine's
// VMM reports to host-built drivers, so both kinds of driver see the same
// machine. Any fault in an image's code is reported
// with the image's name and offset before the process stops as it would
// have.

constexpr size_t kMaxImages = 16;
struct ImageSlot {
  std::atomic<uintptr_t> base{0};
  std::atomic<uintptr_t> size{0};
};
ImageSlot imageSlots[kMaxImages];
struct sigaction previousSegv;
std::atomic<bool> handlerInstalled{false};

constexpr uint8_t kVmmCall[] = {0xCD, 0x20, 0x11, 0x01, 0x01, 0x00};  // int 20h; dd 00010111h

bool InImage(uintptr_t address, uintptr_t* base) {
  for (ImageSlot& slot : imageSlots) {
    const uintptr_t start = slot.base.load();
    if (start != 0 && address - start < slot.size.load()) {
      *base = start;
      return true;
    }
  }
  return false;
}

// What a patched VMM call site calls: the service's result in EAX, ECX and
// EDX free to clobber (the call site's contract), and a stack that image
// code need not have aligned for a call.
__attribute__((force_align_arg_pointer)) ULONG VmmGetSystemStartStage() {
  return emu::VmmSystemStartStage();
}

void WriteHex(char* out, uint32_t value) {
  for (int i = 7; i >= 0; --i, value >>= 4) out[i] = "0123456789ABCDEF"[value & 0xF];
}

void OnSegv(int signal, siginfo_t* info, void* context) {
  // Whichever of this handler and the user memory's came last sees the
  // fault first; an image's own exception frame takes it before either.
  if (internal::DispatchImageFault(info, context))
    return;
  auto* registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const uintptr_t eip = uintptr_t(registers[REG_EIP]);
  uintptr_t base = 0;
  if (InImage(eip, &base)) {
    char text[] = "driver image fault: code at image base 0x00000000 + 0x00000000\n";
    WriteHex(text + sizeof text - 21, uint32_t(base));
    WriteHex(text + sizeof text - 10, uint32_t(eip - base));
    ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
    (void)written;
  }
  internal::PassOnFault(previousSegv, signal, info, context);
}

void InstallFaultHandler() {
  if (handlerInstalled.exchange(true))
    return;
  struct sigaction action {};
  action.sa_sigaction = OnSegv;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &previousSegv);
}

}  // namespace

namespace internal {
bool IsImageCode(const void* address) {
  uintptr_t base = 0;
  return InImage(uintptr_t(address), &base);
}
}  // namespace internal

namespace {

bool RegisterImage(const void* base, size_t size) {
  InstallFaultHandler();
  for (ImageSlot& slot : imageSlots) {
    uintptr_t expected = 0;
    if (slot.base.compare_exchange_strong(expected, uintptr_t(base))) {
      slot.size.store(size);
      return true;
    }
  }
  return false;
}

void UnregisterImage(const void* base) {
  for (ImageSlot& slot : imageSlots) {
    if (slot.base.load() == uintptr_t(base)) {
      slot.size.store(0);
      slot.base.store(0);
    }
  }
}

}  // namespace

// The steps of one load, over the file and the fresh mapping. Every read of
// either is checked against its size first.
class ImageMapper {
 public:
  ImageMapper(const std::string& name, const uint8_t* file, size_t size, std::string* message)
      : name(name), file(file), fileSize(size), message(message) {}

  NTSTATUS Run(std::unique_ptr<Image>* image);

 private:
  NTSTATUS Fail(NTSTATUS status, const std::string& why) {
    *message = name + ": " + why;
    return status;
  }
  bool FileHas(uint64_t offset, uint64_t length) const {
    return offset <= fileSize && length <= fileSize - offset;
  }
  bool ImageHas(uint64_t rva, uint64_t length) const {
    return rva <= optional.SizeOfImage && length <= optional.SizeOfImage - rva;
  }
  uint8_t* At(uint32_t rva) const { return static_cast<uint8_t*>(mapped->base) + rva; }
  // A NUL-terminated name inside the image, at most kMaxNameLength long.
  bool NameAt(uint32_t rva, std::string* text) const;

  NTSTATUS CheckHeaders();
  NTSTATUS CopySections();
  NTSTATUS Relocate();
  NTSTATUS BindImports();
  void PatchVmmCalls();
  NTSTATUS Protect();

  const std::string& name;
  const uint8_t* file;
  size_t fileSize;
  std::string* message;
  FileHeader header{};
  OptionalHeader32 optional{};
  std::vector<SectionHeader> sections;
  std::unique_ptr<Image> mapped;
};

bool ImageMapper::NameAt(uint32_t rva, std::string* text) const {
  text->clear();
  for (uint32_t i = 0; i < kMaxNameLength; ++i) {
    if (!ImageHas(uint64_t(rva) + i, 1))
      return false;
    const char c = char(*At(rva + i));
    if (c == 0)
      return true;
    *text += c;
  }
  return false;
}

NTSTATUS ImageMapper::CheckHeaders() {
  if (!FileHas(0, 0x40) || file[0] != 'M' || file[1] != 'Z')
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "not an executable image (no MZ header)");
  uint32_t pe;
  memcpy(&pe, file + 0x3C, 4);
  if (!FileHas(pe, 4 + sizeof header) || memcmp(file + pe, "PE\0\0", 4) != 0)
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "no PE signature (truncated or not a PE image)");
  memcpy(&header, file + pe + 4, sizeof header);
  if (header.Machine != kMachineI386) {
    return Fail(STATUS_INVALID_IMAGE_FORMAT,
                "machine " + Hex(header.Machine) + " is not i386 (0x14C)");
  }
  const uint64_t optionalAt = uint64_t(pe) + 4 + sizeof header;
  if (header.SizeOfOptionalHeader < offsetof(OptionalHeader32, Directory) ||
      header.SizeOfOptionalHeader > sizeof optional || !FileHas(optionalAt, header.SizeOfOptionalHeader))
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "optional header missing, damaged or truncated");
  memcpy(&optional, file + optionalAt, header.SizeOfOptionalHeader);
  if (optional.Magic != kMagicPe32)
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "not a 32-bit (PE32) image");
  if (optional.Subsystem != kSubsystemNative) {
    return Fail(STATUS_INVALID_IMAGE_FORMAT,
                "subsystem " + std::to_string(optional.Subsystem) + " is not native (1)");
  }
  if ((header.Characteristics & kExecutableImage) == 0 ||
      (header.Characteristics & k32BitMachine) == 0 || (header.Characteristics & kDll) != 0) {
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "characteristics " + Hex(header.Characteristics) +
                                                 " are not a driver's (executable, 32-bit, no DLL)");
  }
  if ((header.Characteristics & kRelocationsStripped) != 0)
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "relocations stripped: the image cannot be moved");
  if (optional.SizeOfImage == 0 || optional.SizeOfImage > kMaxImageSize ||
      optional.SizeOfHeaders > optional.SizeOfImage || !FileHas(0, optional.SizeOfHeaders)) {
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "image size " + Hex(optional.SizeOfImage) +
                                                 " or header size " + Hex(optional.SizeOfHeaders) +
                                                 " out of bounds");
  }
  const uint32_t directories =
      (header.SizeOfOptionalHeader - offsetof(OptionalHeader32, Directory)) / sizeof(DataDirectory);
  if (optional.NumberOfRvaAndSizes > directories)
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "more data directories than the optional header holds");
  for (uint32_t i = optional.NumberOfRvaAndSizes; i < 16; ++i) optional.Directory[i] = {0, 0};
  if (optional.Directory[kDirectoryTls].Size != 0)
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "thread-local storage, which the kernel does not have");

  const uint64_t sectionsAt = optionalAt + header.SizeOfOptionalHeader;
  if (header.NumberOfSections == 0 ||
      !FileHas(sectionsAt, uint64_t(header.NumberOfSections) * sizeof(SectionHeader)))
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "section table missing or truncated");
  sections.resize(header.NumberOfSections);
  memcpy(sections.data(), file + sectionsAt, sections.size() * sizeof(SectionHeader));
  for (const SectionHeader& section : sections) {
    const std::string sectionName(section.Name, strnlen(section.Name, sizeof section.Name));
    const uint32_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
    if (section.VirtualAddress < optional.SizeOfHeaders ||
        !ImageHas(section.VirtualAddress, extent))
      return Fail(STATUS_INVALID_IMAGE_FORMAT, "section " + sectionName + " lies outside the image");
    if (section.SizeOfRawData != 0 && !FileHas(section.PointerToRawData, section.SizeOfRawData)) {
      return Fail(STATUS_INVALID_IMAGE_FORMAT,
                  "section " + sectionName + " extends past the end of the file (truncated)");
    }
  }
  // Last, so that the checks above name what is wrong with a damaged
  // file; the checksum also catches a change they cannot see.
  const size_t checksumOffset = size_t(optionalAt) + offsetof(OptionalHeader32, CheckSum);
  const uint32_t want = ComputeChecksum(file, fileSize, checksumOffset);
  if (optional.CheckSum == 0 || optional.CheckSum != want) {
    return Fail(STATUS_IMAGE_CHECKSUM_MISMATCH, "checksum " + Hex(optional.CheckSum) +
                                                    " does not match the file (" + Hex(want) + ")");
  }
  return STATUS_SUCCESS;
}

NTSTATUS ImageMapper::CopySections() {
  // Anywhere the host puts it: a driver goes wherever there is room, so the
  // relocations are applied on every load, as on Windows.
  void* base = mmap(nullptr, optional.SizeOfImage, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED)
    return Fail(STATUS_INSUFFICIENT_RESOURCES, "no room to map " + Hex(optional.SizeOfImage) + " bytes");
  mapped.reset(new Image(base, optional.SizeOfImage));
  memcpy(base, file, optional.SizeOfHeaders);
  for (const SectionHeader& section : sections) {
    uint32_t length = section.SizeOfRawData;
    if (section.VirtualSize != 0 && section.VirtualSize < length)
      length = section.VirtualSize;
    if (length != 0)
      memcpy(At(section.VirtualAddress), file + section.PointerToRawData, length);
  }
  mapped->delta = ptrdiff_t(uintptr_t(base) - optional.ImageBase);
  return STATUS_SUCCESS;
}

NTSTATUS ImageMapper::Relocate() {
  const DataDirectory directory = optional.Directory[kDirectoryRelocation];
  if (directory.Size == 0) {
    if (mapped->delta == 0)
      return STATUS_SUCCESS;
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "no base relocations: the image cannot be moved");
  }
  if (!ImageHas(directory.VirtualAddress, directory.Size))
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "relocation directory lies outside the image");
  const uint32_t delta = uint32_t(mapped->delta);
  uint32_t at = directory.VirtualAddress;
  const uint32_t end = directory.VirtualAddress + directory.Size;
  while (at < end) {
    RelocationBlock block;
    if (end - at < sizeof block)
      return Fail(STATUS_INVALID_IMAGE_FORMAT, "relocation block at " + Hex(at) + " is truncated");
    memcpy(&block, At(at), sizeof block);
    if (block.SizeOfBlock < sizeof block || block.SizeOfBlock % 2 != 0 ||
        block.SizeOfBlock > end - at) {
      return Fail(STATUS_INVALID_IMAGE_FORMAT, "relocation block at " + Hex(at) + " has size " +
                                                   Hex(block.SizeOfBlock));
    }
    const uint32_t count = (block.SizeOfBlock - sizeof block) / 2;
    for (uint32_t i = 0; i < count; ++i) {
      uint16_t entry;
      memcpy(&entry, At(at + sizeof block + 2 * i), 2);
      const unsigned type = entry >> 12;
      const uint64_t target = uint64_t(block.PageRva) + (entry & 0xFFF);
      if (type == kRelocationAbsolute)
        continue;
      if (type != kRelocationHighLow) {
        return Fail(STATUS_INVALID_IMAGE_FORMAT, "relocation type " + std::to_string(type) +
                                                     " at " + Hex(uint32_t(target)) +
                                                     " (only HIGHLOW is i386's)");
      }
      if (target < optional.SizeOfHeaders || !ImageHas(target, 4)) {
        return Fail(STATUS_INVALID_IMAGE_FORMAT,
                    "relocation at " + Hex(uint32_t(target)) + " lies outside the image's sections");
      }
      uint32_t value;
      memcpy(&value, At(uint32_t(target)), 4);
      value += delta;
      memcpy(At(uint32_t(target)), &value, 4);
    }
    at += block.SizeOfBlock;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ImageMapper::BindImports() {
  const DataDirectory directory = optional.Directory[kDirectoryImport];
  if (directory.Size == 0)
    return STATUS_SUCCESS;
  if (!ImageHas(directory.VirtualAddress, directory.Size))
    return Fail(STATUS_INVALID_IMAGE_FORMAT, "import directory lies outside the image");
  for (uint32_t at = directory.VirtualAddress;; at += sizeof(ImportDescriptor)) {
    ImportDescriptor descriptor;
    if (!ImageHas(at, sizeof descriptor))
      return Fail(STATUS_INVALID_IMAGE_FORMAT, "import directory has no end");
    memcpy(&descriptor, At(at), sizeof descriptor);
    if (descriptor.Name == 0 && descriptor.FirstThunk == 0)
      return STATUS_SUCCESS;
    std::string module;
    if (!NameAt(descriptor.Name, &module))
      return Fail(STATUS_INVALID_IMAGE_FORMAT, "import module name at " + Hex(descriptor.Name) + " is damaged");
    if (!IsKernelModule(module.c_str()))
      return Fail(STATUS_DLL_NOT_FOUND, "imports from " + module + ", which the kernel does not have");
    // The names come from the lookup table; the addresses go to the import
    // address table. Old linkers leave only the latter, holding both.
    const uint32_t names = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk
                                                              : descriptor.FirstThunk;
    for (uint32_t i = 0;; ++i) {
      const uint64_t nameSlot = uint64_t(names) + 4 * uint64_t(i);
      const uint64_t addressSlot = uint64_t(descriptor.FirstThunk) + 4 * uint64_t(i);
      if (!ImageHas(nameSlot, 4) || !ImageHas(addressSlot, 4))
        return Fail(STATUS_INVALID_IMAGE_FORMAT, "import table of " + module + " has no end");
      uint32_t thunk;
      memcpy(&thunk, At(uint32_t(nameSlot)), 4);
      if (thunk == 0)
        break;
      if ((thunk & kOrdinalFlag) != 0) {
        return Fail(STATUS_DRIVER_ORDINAL_NOT_FOUND,
                    "imports " + module + " ordinal " + std::to_string(thunk & 0xFFFF) +
                        ", and the kernel exports by name only");
      }
      std::string function;
      if (!NameAt(thunk + 2, &function))  // behind the 16-bit hint
        return Fail(STATUS_INVALID_IMAGE_FORMAT, "import name at " + Hex(thunk) + " is damaged");
      const KernelExport* target = FindKernelExport(module.c_str(), function.c_str());
      if (target == nullptr) {
        return Fail(STATUS_DRIVER_ENTRYPOINT_NOT_FOUND,
                    "imports " + module + "!" + function + ", which the kernel does not export");
      }
      const uint32_t address = uint32_t(uintptr_t(target->address));
      memcpy(At(uint32_t(addressSlot)), &address, 4);
    }
  }
}

// Each VMM service call of a code section (INT 20h with the service word
// 0x00010111 behind it) becomes a direct call of VmmGetSystemStartStage and
// a NOP, six bytes for six, after relocation, which never touches them.
void ImageMapper::PatchVmmCalls() {
  for (const SectionHeader& section : sections) {
    if ((section.Characteristics & kSectionExecute) == 0)
      continue;
    const uint32_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
    if (!ImageHas(section.VirtualAddress, extent) || extent < sizeof kVmmCall)
      continue;
    uint8_t* code = At(section.VirtualAddress);
    for (uint32_t at = 0; at + sizeof kVmmCall <= extent; ++at) {
      if (memcmp(code + at, kVmmCall, sizeof kVmmCall) != 0)
        continue;
      const uintptr_t next = uintptr_t(code + at + 5);
      const uint32_t displacement =
          uint32_t(reinterpret_cast<uintptr_t>(&VmmGetSystemStartStage) - next);
      code[at] = 0xE8;  // call rel32
      memcpy(code + at + 1, &displacement, 4);
      code[at + 5] = 0x90;  // nop
      at += sizeof kVmmCall - 1;
    }
  }
}

// Protections go on after relocation and binding, which write into code and
// constants. Where sections share a page (an alignment below the page
// size), the page gets what any of them needs.
NTSTATUS ImageMapper::Protect() {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t pages = (optional.SizeOfImage + page - 1) / page;
  std::vector<int> protection(pages, PROT_NONE);
  for (size_t i = 0; i * page < optional.SizeOfHeaders; ++i) protection[i] = PROT_READ;
  for (const SectionHeader& section : sections) {
    int flags = PROT_NONE;
    if ((section.Characteristics & kSectionRead) != 0)
      flags |= PROT_READ;
    if ((section.Characteristics & kSectionWrite) != 0)
      flags |= PROT_READ | PROT_WRITE;
    if ((section.Characteristics & kSectionExecute) != 0)
      flags |= PROT_READ | PROT_EXEC;
    const uint32_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
    for (size_t i = section.VirtualAddress / page;
         i < pages && i * page < uint64_t(section.VirtualAddress) + extent; ++i)
      protection[i] |= flags;
  }
  for (size_t first = 0; first < pages;) {
    size_t next = first + 1;
    while (next < pages && protection[next] == protection[first]) ++next;
    if (mprotect(At(uint32_t(first * page)), (next - first) * page, protection[first]) != 0)
      return Fail(STATUS_INSUFFICIENT_RESOURCES, "cannot protect the image's pages");
    first = next;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ImageMapper::Run(std::unique_ptr<Image>* image) {
  NTSTATUS status = CheckHeaders();
  if (!NT_SUCCESS(status))
    return status;
  status = CopySections();
  if (!NT_SUCCESS(status))
    return status;
  status = Relocate();
  if (!NT_SUCCESS(status))
    return status;
  status = BindImports();
  if (!NT_SUCCESS(status))
    return status;
  PatchVmmCalls();
  // The entry point must be code of the image.
  bool inCode = false;
  for (const SectionHeader& section : sections) {
    if ((section.Characteristics & kSectionExecute) != 0 &&
        optional.AddressOfEntryPoint >= section.VirtualAddress &&
        optional.AddressOfEntryPoint - section.VirtualAddress <
            std::max(section.VirtualSize, section.SizeOfRawData))
      inCode = true;
  }
  if (!inCode) {
    return Fail(STATUS_INVALID_IMAGE_FORMAT,
                "entry point " + Hex(optional.AddressOfEntryPoint) + " is not in a code section");
  }
  status = Protect();
  if (!NT_SUCCESS(status))
    return status;
  if (!RegisterImage(mapped->base, mapped->size))
    return Fail(STATUS_INSUFFICIENT_RESOURCES, "too many driver images mapped at once");
  mapped->registered = true;
  mapped->entry = reinterpret_cast<PDRIVER_INITIALIZE>(At(optional.AddressOfEntryPoint));
  *image = std::move(mapped);
  return STATUS_SUCCESS;
}

NTSTATUS Image::Map(const std::string& name, const uint8_t* file, size_t size,
                    std::unique_ptr<Image>* image, std::string* message) {
  image->reset();
  message->clear();
  ImageMapper mapper(name, file, size, message);
  return mapper.Run(image);
}

NTSTATUS Image::MapFile(const std::string& path, std::unique_ptr<Image>* image,
                        std::string* message) {
  image->reset();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *message = path + ": cannot read the file";
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  return Map(path, file.data(), file.size(), image, message);
}

Image::~Image() {
  if (registered)
    UnregisterImage(base);
  munmap(base, size);
}

}  // namespace emu
