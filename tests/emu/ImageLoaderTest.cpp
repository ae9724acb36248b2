// The image loader on the shipped driver file: it loads, runs and unloads
// in the emulated kernel; damaged copies of it are refused with a message
// that says what is wrong, and never crash the process that loads them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "emu/Files.h"
#include "emu/Image.h"
#include "emu/Io.h"
#include "emu/Kernel.h"
#include "emu/Pool.h"
#include "emu/Registry.h"
#include "emu/SystemStartStage.h"
#include "emu/SystemVersion.h"
#include "framework/SystemStartStage.h"
#include "framework/Pool.h"

#ifndef PELLINOR_WINDOWS_IMAGE
#define PELLINOR_WINDOWS_IMAGE ""
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// The export table.

TEST(KernelExports, CoverEveryImportTheWindowsBuildAllows) {
  std::ifstream list(std::string(PELLINOR_SOURCE_DIR) + "/tests/windows/driver-imports.txt");
  ASSERT_TRUE(list);
  std::string line;
  int imports = 0;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string module, function;
    words >> module >> function;
    ++imports;
    EXPECT_NE(emu::FindKernelExport(module.c_str(), function.c_str()), nullptr)
        << module << "!" << function;
  }
  EXPECT_GT(imports, 50);
  // A module name compares without case, a function name exactly; a
  // function of the other module is not found.
  EXPECT_NE(emu::FindKernelExport("NTOSKRNL.EXE", "IoCreateDevice"), nullptr);
  EXPECT_EQ(emu::FindKernelExport("ntoskrnl.exe", "iocreatedevice"), nullptr);
  EXPECT_EQ(emu::FindKernelExport("ntoskrnl.exe", "KfAcquireSpinLock"), nullptr);
  EXPECT_TRUE(emu::IsKernelModule("HAL.dll"));
  EXPECT_FALSE(emu::IsKernelModule("kernel32.dll"));
}

TEST(KernelExports, NamesAreUniqueWithinTheirModule) {
  size_t count = 0;
  const emu::KernelExport* table = emu::KernelExports(&count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(emu::FindKernelExport(table[i].module, table[i].name), &table[i]) << table[i].name;
    EXPECT_NE(table[i].address, nullptr) << table[i].name;
  }
}

// The C library's sprintf and wcslen would take a 32-bit wchar_t and know
// no %ws: the image's calls must reach the kernel's.
TEST(KernelExports, StringFunctionsAreTheKernelRunTimes) {
  using Sprintf = int (*)(char*, const char*, ...);
  using Wcslen = size_t (*)(const unsigned short*);
  auto sprintfOf = reinterpret_cast<Sprintf>(
      const_cast<void*>(emu::FindKernelExport("ntoskrnl.exe", "sprintf")->address));
  auto wcslenOf = reinterpret_cast<Wcslen>(
      const_cast<void*>(emu::FindKernelExport("ntoskrnl.exe", "wcslen")->address));
  const unsigned short wide[] = {'C', 'A', 'P', 'I', 0, 'x', 0};
  EXPECT_EQ(wcslenOf(wide), 4u);
  char text[64];
  EXPECT_EQ(sprintfOf(text, "%ws/%p", wide, reinterpret_cast<void*>(0xAB)), 13);
  EXPECT_STREQ(text, "CAPI/000000AB");
}

// ---------------------------------------------------------------------------
// The shipped image.

Bytes ReadImage() {
  std::ifstream in(PELLINOR_WINDOWS_IMAGE, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The few header fields the damage below needs, read independently of the
// loader.
struct Layout {
  size_t pe = 0, optional = 0, sections = 0;
  unsigned sectionCount = 0;
  uint32_t Get32(const Bytes& b, size_t at) const {
    uint32_t v;
    memcpy(&v, &b[at], 4);
    return v;
  }
  explicit Layout(const Bytes& b) {
    pe = Get32(b, 0x3C);
    optional = pe + 24;
    sectionCount = b[pe + 6] | b[pe + 7] << 8;
    sections = optional + (b[pe + 20] | b[pe + 21] << 8);
  }
  // The file offset of an image address.
  size_t FileOffset(const Bytes& b, uint32_t rva) const {
    for (unsigned i = 0; i < sectionCount; ++i) {
      const size_t s = sections + 40 * i;
      const uint32_t va = Get32(b, s + 12), raw = Get32(b, s + 16), at = Get32(b, s + 20);
      if (rva >= va && rva < va + raw) return at + (rva - va);
    }
    return 0;
  }
  size_t Directory(const Bytes& b, unsigned index) const {
    return FileOffset(b, Get32(b, optional + 96 + 8 * index));
  }
};

// Stores the right checksum again, so that the check of what was damaged
// is the one that speaks. `at` is where the field is in the undamaged file.
void Reseal(Bytes* b, size_t at) {
  memset(&(*b)[at], 0, 4);
  uint64_t total = 0;
  for (size_t i = 0; i < b->size(); i += 2) {
    total += (*b)[i] | (i + 1 < b->size() ? (*b)[i + 1] << 8 : 0);
    total = (total & 0xFFFF) + (total >> 16);
  }
  const uint32_t sum = uint32_t(((total & 0xFFFF) + (total >> 16)) + b->size());
  memcpy(&(*b)[at], &sum, 4);
}

class ShippedImage : public ::testing::Test {
 protected:
  Bytes file;
  std::unique_ptr<emu::Image> image;
  std::string message;

  void SetUp() override {
    if (std::string(PELLINOR_WINDOWS_IMAGE).empty() ||
        !std::filesystem::exists(PELLINOR_WINDOWS_IMAGE))
      GTEST_SKIP() << "no Windows build configured (PELLINOR_WINDOWS_IMAGE)";
    file = ReadImage();
    ASSERT_GT(file.size(), 4096u);
  }
  NTSTATUS Map(const Bytes& bytes) {
    return emu::Image::Map("pellinor.sys", bytes.data(), bytes.size(), &image, &message);
  }
  // Fails the load with `status` and a message that contains `says`.
  void ExpectRefused(const Bytes& bytes, NTSTATUS status, const std::string& says) {
    EXPECT_EQ(Map(bytes), status) << message;
    EXPECT_EQ(image, nullptr);
    EXPECT_NE(message.find("pellinor.sys: " + says), std::string::npos) << message;
  }
  size_t Find(const std::string& text) const {
    auto it = std::search(file.begin(), file.end(), text.begin(), text.end());
    return it == file.end() ? 0 : size_t(it - file.begin());
  }
};

TEST_F(ShippedImage, LoadsRunsAndUnloadsCleanEveryTimeInAFreshMapping) {
  emu::Registry::SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor",
                          u"Start", 3);
  const std::string drive = ::testing::TempDir() + "/image_drive_c";
  std::filesystem::create_directories(drive);
  emu::SetDriveC(drive);
  for (int run = 0; run < 3; ++run) {
    ASSERT_EQ(Map(file), STATUS_SUCCESS) << message;
    // Moved away from its link base: every relocation was applied.
    EXPECT_NE(image->Delta(), 0);
    const uint8_t* base = static_cast<const uint8_t*>(image->Base());
    EXPECT_EQ(memcmp(base, "MZ", 2), 0);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(emu::LoadDriver("Pellinor", image->Entry(), POOL_TAG, &driver), STATUS_SUCCESS);
    EXPECT_EQ(emu::FindDriver("Pellinor"), driver);
    // Its dispatch routines are the image's code.
    const uintptr_t dispatch = uintptr_t(driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_GE(dispatch, uintptr_t(base));
    EXPECT_LT(dispatch, uintptr_t(base) + image->Size());
    ASSERT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(emu::Kernel::RunningSystemThreads(), 0u);
    EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
    image.reset();
  }
}

// On Windows 98/Me the image asks the VMM for the system start stage with
// INT 20h. That must never fault: under qemu-i386 a
// signal handler's return gave the thread another thread's thread-local
// data (its IRQL, its spin-lock token), and the driver then bug-checked at
// random. The loader turns every such call site into a direct call.
TEST_F(ShippedImage, VmmServiceCallsBecomeDirectCallsThatNeverFault) {
  const uint8_t vmmCall[] = {0xCD, 0x20, 0x11, 0x01, 0x01, 0x00};
  auto calls = [&](const uint8_t* bytes, size_t size) {
    size_t count = 0;
    for (const uint8_t* at = bytes; (at = std::search(at, bytes + size, vmmCall, vmmCall + 6)) !=
                                    bytes + size;
         ++at)
      ++count;
    return count;
  };
  ASSERT_GT(calls(file.data(), file.size()), 0u) << "the image no longer asks the VMM";
  ASSERT_EQ(Map(file), STATUS_SUCCESS) << message;
  EXPECT_EQ(calls(static_cast<const uint8_t*>(image->Base()), image->Size()), 0u);
  // The automatic start asks for the stage in DriverEntry: through the
  // patched call, which must run (an INT 20h left in place would stop the
  // process here).
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";
  emu::Registry::SetDword(key, u"Start", 2);
  emu::SetSystemStartStage(0);
  emu::SetSystemVersion(emu::SystemVersion::Windows98);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(emu::LoadDriver("Pellinor", image->Entry(), POOL_TAG, &driver), STATUS_SUCCESS);
  emu::SetSystemStartStage(SYSTEM_START_STAGE_READY);
  ASSERT_EQ(emu::UnloadDriver(driver), STATUS_SUCCESS);
  emu::SetSystemVersion(emu::SystemVersion::WindowsXp);
  EXPECT_EQ(emu::Pool::Report(POOL_TAG).blocks, 0u);
  image.reset();
  emu::Registry::SetDword(key, u"Start", 3);
}

TEST_F(ShippedImage, CodeIsNotWritableAfterLoading) {
  GTEST_FLAG_SET(death_test_style, "fast");
  emu::Kernel::Shutdown();
  ASSERT_EQ(Map(file), STATUS_SUCCESS) << message;
  volatile uint8_t* code = reinterpret_cast<volatile uint8_t*>(image->Entry());
  EXPECT_DEATH(*code = 0xCC, "");
  // The headers are read-only too.
  volatile uint8_t* header = static_cast<volatile uint8_t*>(const_cast<void*>(image->Base()));
  EXPECT_DEATH(*header = 0, "");
}

TEST_F(ShippedImage, MissingImportNamesModuleAndFunction) {
  size_t at = Find(std::string("KeSetEvent", 11));
  ASSERT_NE(at, 0u);
  file[at + 9] = 'X';
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_DRIVER_ENTRYPOINT_NOT_FOUND,
                "imports ntoskrnl.exe!KeSetEvenX, which the kernel does not export");
}

TEST_F(ShippedImage, ImportFromAModuleTheKernelLacks) {
  size_t at = Find(std::string("HAL.dll", 8));
  ASSERT_NE(at, 0u);
  file[at + 2] = 'x';
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_DLL_NOT_FOUND, "imports from HAx.dll, which the kernel does not have");
}

TEST_F(ShippedImage, BadRelocationBlocks) {
  const Layout layout(file);
  const size_t relocations = layout.Directory(file, 5);
  ASSERT_NE(relocations, 0u);
  const Bytes good = file;

  // A block longer than the directory.
  uint32_t size = 0x7FFFFFF0;
  memcpy(&file[relocations + 4], &size, 4);
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "relocation block at ");
  EXPECT_NE(message.find("has size 0x7FFFFFF0"), std::string::npos) << message;

  // A block too short for its own header (it would never advance).
  file = good;
  size = 0;
  memcpy(&file[relocations + 4], &size, 4);
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "relocation block at ");

  // A page outside the image.
  file = good;
  uint32_t page = 0x7FFFF000;
  memcpy(&file[relocations], &page, 4);
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "relocation at 0x7FFFF");

  // A relocation of another machine's type (DIR64).
  file = good;
  file[relocations + 9] = uint8_t((file[relocations + 9] & 0x0F) | 0xA0);
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "relocation type 10");
}

TEST_F(ShippedImage, TruncatedFiles) {
  ExpectRefused(Bytes(file.begin(), file.begin() + file.size() / 2), STATUS_INVALID_IMAGE_FORMAT,
                "section ");
  EXPECT_NE(message.find("extends past the end of the file (truncated)"), std::string::npos);
  ExpectRefused(Bytes(file.begin(), file.begin() + 0x90), STATUS_INVALID_IMAGE_FORMAT,
                "no PE signature");
  ExpectRefused(Bytes(file.begin(), file.begin() + Layout(file).optional + 40),
                STATUS_INVALID_IMAGE_FORMAT, "optional header missing, damaged or truncated");
  ExpectRefused(Bytes(), STATUS_INVALID_IMAGE_FORMAT, "not an executable image");
  // Cut inside the last section's padding: only the checksum sees it.
  ExpectRefused(Bytes(file.begin(), file.end() - 1), STATUS_INVALID_IMAGE_FORMAT, "section ");
}

TEST_F(ShippedImage, HeaderChecks) {
  const Layout layout(file);
  const Bytes good = file;

  file[layout.pe + 4] = 0x64;  // x86-64
  file[layout.pe + 5] = 0x86;
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "machine 0x8664 is not i386 (0x14C)");

  file = good;
  file[layout.optional + 68] = 2;  // a Windows GUI program
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "subsystem 2 is not native (1)");

  file = good;
  file[layout.pe + 23] |= 0x20;  // a DLL
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "characteristics ");

  file = good;
  file[layout.pe + 22] |= 0x01;  // relocations stripped
  Reseal(&file, Layout(file).optional + 64);
  ExpectRefused(file, STATUS_INVALID_IMAGE_FORMAT, "relocations stripped");

  // One byte of code changed after the link.
  file = good;
  file[file.size() / 3] ^= 0x55;
  ExpectRefused(file, STATUS_IMAGE_CHECKSUM_MISMATCH, "checksum 0x");
  file = good;
  memset(&file[layout.optional + 64], 0, 4);
  ExpectRefused(file, STATUS_IMAGE_CHECKSUM_MISMATCH, "checksum 0x0 does not match");
}

TEST_F(ShippedImage, MissingFileIsReportedNotCrashed) {
  EXPECT_EQ(emu::Image::MapFile("/nonexistent/pellinor.sys", &image, &message),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_NE(message.find("cannot read"), std::string::npos);
}

// Random damage to the headers, the relocations and the imports, with the
// checksum made right again so that every other check is reached: each copy
// maps or is refused, and the process lives.
TEST_F(ShippedImage, RandomDamageNeverCrashes) {
  const Layout layout(file);
  const size_t regions[][2] = {
      {0, layout.sections + 40 * layout.sectionCount},
      {layout.Directory(file, 5), 256},
      {layout.Directory(file, 1), 256},
  };
  std::mt19937 random(14);
  const Bytes good = file;
  int refused = 0;
  for (int i = 0; i < 1500; ++i) {
    file = good;
    const auto& region = regions[i % 3];
    for (int flips = 1 + int(random() % 3); flips > 0; --flips) {
      const size_t at = region[0] + random() % region[1];
      if (at < file.size()) file[at] = uint8_t(random());
    }
    Reseal(&file, layout.optional + 64);
    if (Map(file) != STATUS_SUCCESS) {
      ++refused;
      EXPECT_EQ(message.rfind("pellinor.sys: ", 0), 0u) << message;
    }
    image.reset();
  }
  EXPECT_GT(refused, 100);
}

}  // namespace
