// Host-side control of the emulated registry: an in-memory tree of keys and
// typed values under \Registry, kept across runs in a readable text file.
//
// Names of keys and values compare without regard to ASCII case and keep
// the case they were created with. A fresh registry holds the standard keys
// \Registry\Machine\System\CurrentControlSet\Services and \Control,
// \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion,
// \Registry\Machine\Hardware\DeviceMap and \Registry\User.
//
// The text file, one line per key and per value:
//   ; comment
//   [\Registry\Machine\System\CurrentControlSet\Services\Pellinor]
//   "Start"=dword:00000002
//   "Pellinor_Log"=sz:"C:\\Pellinor.log"
//   "Path"=expand_sz:"%SystemRoot%\\x"
//   "Other"=hex(3):05,00,ff
// A value is written as dword only when it is REG_DWORD of exactly 4 bytes,
// as sz or expand_sz only when it is one NUL-terminated string without other
// NULs; anything else as hex(type). In quoted text \\ is a backslash, \" a
// quote and \uXXXX any other UTF-16 unit (used for controls and non-ASCII).
//
// Kernel side: RtlQueryRegistryValues, RtlWriteRegistryValue,
// RtlDeleteRegistryValue, RtlCreateRegistryKey, RtlCheckRegistryKey, all at
// PASSIVE_LEVEL only. RtlWriteRegistryValue creates the key it names when
// its parent exists (as the kernel opens it for writing with create
// semantics) and fails with STATUS_OBJECT_NAME_NOT_FOUND when a key above it
// is missing. REG_EXPAND_SZ is passed on as REG_SZ with its text unexpanded
// unless NOEXPAND is given (the emulated machine has no environment);
// REG_MULTI_SZ without NOEXPAND is passed one string at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

class Registry {
 public:
  // Back to a fresh registry (standard keys only); faults are kept.
  static void Clear();

  // Replace the whole tree by the file's (or the text's). On a syntax error
  // the tree is left unchanged and *error says where.
  static bool Load(const std::string& file, std::string* error = nullptr);
  static bool LoadText(const std::string& text, std::string* error = nullptr);
  static bool Save(const std::string& file);
  static std::string SaveText();

  // Creating every missing key on the way.
  static void CreateKey(const std::u16string& keyPath);
  static void SetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
                       const void* data, size_t length);
  static void SetDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value);
  // REG_SZ with its terminating NUL.
  static void SetString(const std::u16string& keyPath, const std::u16string& name,
                        const std::u16string& text);
  static bool GetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t* type,
                       std::vector<uint8_t>* data);
  static bool KeyExists(const std::u16string& keyPath);
  static bool DeleteValue(const std::u16string& keyPath, const std::u16string& name);
  static bool DeleteKey(const std::u16string& keyPath);

  // Fault injection by value name (any key): the next `count` reads (a query
  // of that value) or writes (write or delete of it) fail with `status`;
  // count -1: all of them until ClearFaults.
  enum Access { kRead = 1, kWrite = 2 };
  static void FailValue(const std::u16string& name, int32_t status, int access, int count = -1);
  static void ClearFaults();
};

}  // namespace emu
