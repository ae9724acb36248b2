// The emulated registry and the run-time library's registry services.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "emu/Registry.h"
#include "KernelInternal.h"
#include "emu/Pool.h"

namespace emu {
namespace {

struct Value {
  std::u16string name;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  std::vector<std::unique_ptr<Key>> subkeys;
  std::vector<Value> values;
};

struct Fault {
  std::u16string name;
  NTSTATUS status;
  int access;
  int count;
};

struct State {
  std::mutex lock;
  std::unique_ptr<Key> root;  // \Registry
  std::vector<Fault> faults;
};

State& S() {
  static State* state = new State;
  return *state;
}

char16_t Upcase(char16_t c) {
  return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i]))
      return false;
  }
  return true;
}

// "\Registry\A\B" -> {"A", "B"}; false unless it starts with \Registry.
bool Split(const std::u16string& path, std::vector<std::u16string>* parts) {
  parts->clear();
  std::u16string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\') {
      if (!part.empty())
        parts->push_back(part);
      part.clear();
    } else {
      part += path[i];
    }
  }
  if (path.empty() || path[0] != u'\\' || parts->empty() || !SameName((*parts)[0], u"Registry")) {
    return false;
  }
  parts->erase(parts->begin());
  return true;
}

Key* Child(Key* key, const std::u16string& name) {
  for (auto& k : key->subkeys) {
    if (SameName(k->name, name))
      return k.get();
  }
  return nullptr;
}

Key* Find(const std::u16string& path) {
  std::vector<std::u16string> parts;
  if (!Split(path, &parts))
    return nullptr;
  Key* key = S().root.get();
  for (const auto& part : parts) {
    key = Child(key, part);
    if (key == nullptr)
      return nullptr;
  }
  return key;
}

Key* Create(Key* root, const std::u16string& path) {
  std::vector<std::u16string> parts;
  if (!Split(path, &parts))
    return nullptr;
  Key* key = root;
  for (const auto& part : parts) {
    Key* next = Child(key, part);
    if (next == nullptr) {
      key->subkeys.push_back(std::make_unique<Key>());
      next = key->subkeys.back().get();
      next->name = part;
    }
    key = next;
  }
  return key;
}

Value* FindValue(Key* key, const std::u16string& name) {
  for (auto& v : key->values) {
    if (SameName(v.name, name))
      return &v;
  }
  return nullptr;
}

void Set(Key* key, const std::u16string& name, uint32_t type, const void* data, size_t length) {
  Value* v = FindValue(key, name);
  if (v == nullptr) {
    key->values.emplace_back();
    v = &key->values.back();
    v->name = name;
  }
  v->type = type;
  auto* bytes = static_cast<const uint8_t*>(data);
  v->data.assign(bytes, bytes + length);
}

std::unique_ptr<Key> FreshTree() {
  auto root = std::make_unique<Key>();
  root->name = u"Registry";
  for (const char16_t* path :
       {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap", u"\\Registry\\User"}) {
    Create(root.get(), path);
  }
  return root;
}

void EnsureTree() {
  if (!S().root)
    S().root = FreshTree();
}

// Under the lock: the status of an injected fault for this access, or 0.
NTSTATUS TakeFault(const std::u16string& name, int access) {
  for (auto& f : S().faults) {
    if ((f.access & access) == 0 || f.count == 0 || !SameName(f.name, name))
      continue;
    if (f.count > 0)
      --f.count;
    return f.status;
  }
  return STATUS_SUCCESS;
}

std::u16string FromWide(PCWSTR s) {
  std::u16string text;
  if (s != nullptr) {
    for (; *s != 0; ++s) text += char16_t(*s);
  }
  return text;
}

bool ResolvePath(ULONG relativeTo, PCWSTR path, std::u16string* full) {
  static const char16_t* const kBases[] = {
      u"",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\",
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\",
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\",
      u"\\Registry\\Machine\\Hardware\\DeviceMap\\",
      u"\\Registry\\User\\CurrentUser\\"};
  relativeTo &= ~ULONG(RTL_REGISTRY_OPTIONAL);
  if (relativeTo >= RTL_REGISTRY_MAXIMUM || path == nullptr)
    return false;
  *full = std::u16string(kBases[relativeTo]) + FromWide(path);
  return true;
}

// ----- text file -----

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  for (char16_t c : text) {
    if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'"') {
      out += "\\\"";
    } else if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04X", unsigned(c));
      out += escape;
    }
  }
  return out + "\"";
}

// One NUL-terminated string with no other NUL?
bool AsText(const Value& v, std::u16string* text) {
  if (v.data.size() < 2 || v.data.size() % 2 != 0)
    return false;
  size_t chars = v.data.size() / 2;
  text->clear();
  for (size_t i = 0; i < chars; ++i) {
    char16_t c = char16_t(v.data[2 * i] | v.data[2 * i + 1] << 8);
    if ((c == 0) != (i == chars - 1))
      return false;
    if (c != 0)
      *text += c;
  }
  return true;
}

void SaveKey(const Key& key, const std::u16string& path, std::string& out) {
  std::string narrow;
  out += "[";
  for (char16_t c : path) out += (c < 0x80) ? char(c) : '?';
  out += "]\n";
  for (const Value& v : key.values) {
    out += Quote(v.name) + "=";
    std::u16string text;
    if (v.type == REG_DWORD && v.data.size() == 4) {
      char line[32];
      snprintf(line, sizeof line, "dword:%08X",
               unsigned(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | unsigned(v.data[3]) << 24));
      out += line;
    } else if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && AsText(v, &text)) {
      out += (v.type == REG_SZ ? "sz:" : "expand_sz:") + Quote(text);
    } else {
      out += "hex(" + std::to_string(v.type) + "):";
      for (size_t i = 0; i < v.data.size(); ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, "%s%02x", i ? "," : "", v.data[i]);
        out += hex;
      }
    }
    out += "\n";
  }
  for (const auto& k : key.subkeys) SaveKey(*k, path + u"\\" + k->name, out);
}

// Parses a quoted text at s[*i]; advances *i past it.
bool ParseQuoted(const std::string& s, size_t* i, std::u16string* text) {
  if (*i >= s.size() || s[*i] != '"')
    return false;
  text->clear();
  for (size_t p = *i + 1; p < s.size(); ++p) {
    char c = s[p];
    if (c == '"') {
      *i = p + 1;
      return true;
    }
    if (c != '\\') {
      *text += char16_t(static_cast<unsigned char>(c));
      continue;
    }
    if (++p >= s.size())
      return false;
    if (s[p] == '\\' || s[p] == '"') {
      *text += char16_t(s[p]);
    } else if (s[p] == 'u' && p + 4 < s.size()) {
      unsigned value = 0;
      if (sscanf(s.substr(p + 1, 4).c_str(), "%4x", &value) != 1)
        return false;
      *text += char16_t(value);
      p += 4;
    } else {
      return false;
    }
  }
  return false;
}

bool ParseValue(const std::string& line, Key* key) {
  size_t i = 0;
  std::u16string name;
  if (!ParseQuoted(line, &i, &name) || i >= line.size() || line[i] != '=')
    return false;
  std::string rest = line.substr(i + 1);
  if (rest.compare(0, 6, "dword:") == 0) {
    unsigned value;
    char extra;
    if (sscanf(rest.c_str() + 6, "%8x%c", &value, &extra) != 1)
      return false;
    uint32_t v = value;
    Set(key, name, REG_DWORD, &v, 4);
    return true;
  }
  for (auto [prefix, type] : {std::pair<const char*, uint32_t>{"sz:", REG_SZ},
                              std::pair<const char*, uint32_t>{"expand_sz:", REG_EXPAND_SZ}}) {
    size_t n = strlen(prefix);
    if (rest.compare(0, n, prefix) != 0)
      continue;
    size_t j = n;
    std::u16string text;
    if (!ParseQuoted(rest, &j, &text) || j != rest.size())
      return false;
    std::vector<uint8_t> data;
    for (char16_t c : text) {
      data.push_back(uint8_t(c));
      data.push_back(uint8_t(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    Set(key, name, type, data.data(), data.size());
    return true;
  }
  unsigned type;
  int consumed = 0;
  if (sscanf(rest.c_str(), "hex(%u):%n", &type, &consumed) != 1 || consumed == 0)
    return false;
  std::vector<uint8_t> data;
  std::string bytes = rest.substr(consumed);
  size_t p = 0;
  while (p < bytes.size()) {
    unsigned b;
    if (p + 2 > bytes.size() || sscanf(bytes.substr(p, 2).c_str(), "%2x", &b) != 1)
      return false;
    data.push_back(uint8_t(b));
    p += 2;
    if (p < bytes.size()) {
      if (bytes[p] != ',')
        return false;
      ++p;
    }
  }
  Set(key, name, type, data.data(), data.size());
  return true;
}

std::u16string Widen(const std::string& s) {
  std::u16string w;
  for (char c : s) w += char16_t(static_cast<unsigned char>(c));
  return w;
}

}  // namespace

void Registry::Clear() {
  std::lock_guard<std::mutex> guard(S().lock);
  S().root = FreshTree();
}

bool Registry::LoadText(const std::string& text, std::string* error) {
  std::unique_ptr<Key> root = FreshTree();
  Key* key = nullptr;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == ';')
      continue;
    line = line.substr(start);
    bool ok;
    if (line[0] == '[') {
      size_t end = line.rfind(']');
      key = end == std::string::npos ? nullptr : Create(root.get(), Widen(line.substr(1, end - 1)));
      ok = key != nullptr;
    } else {
      ok = key != nullptr && ParseValue(line, key);
    }
    if (!ok) {
      if (error)
        *error = "line " + std::to_string(number) + ": cannot read \"" + line + "\"";
      return false;
    }
  }
  std::lock_guard<std::mutex> guard(S().lock);
  S().root = std::move(root);
  return true;
}

bool Registry::Load(const std::string& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (error)
      *error = "cannot open " + file;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return LoadText(text.str(), error);
}

std::string Registry::SaveText() {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  std::string out = "; emulated registry\n";
  for (const auto& k : S().root->subkeys) SaveKey(*k, u"\\Registry\\" + k->name, out);
  return out;
}

bool Registry::Save(const std::string& file) {
  std::string text = SaveText();
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  return bool(out);
}

void Registry::CreateKey(const std::u16string& keyPath) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  Create(S().root.get(), keyPath);
}

void Registry::SetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t type,
                        const void* data, size_t length) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  Key* key = Create(S().root.get(), keyPath);
  if (key != nullptr)
    Set(key, name, type, data, length);
}

void Registry::SetDword(const std::u16string& keyPath, const std::u16string& name, uint32_t value) {
  SetValue(keyPath, name, REG_DWORD, &value, 4);
}

void Registry::SetString(const std::u16string& keyPath, const std::u16string& name,
                         const std::u16string& text) {
  SetValue(keyPath, name, REG_SZ, text.c_str(), (text.size() + 1) * 2);
}

bool Registry::GetValue(const std::u16string& keyPath, const std::u16string& name, uint32_t* type,
                        std::vector<uint8_t>* data) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  Key* key = Find(keyPath);
  Value* v = key ? FindValue(key, name) : nullptr;
  if (v == nullptr)
    return false;
  if (type)
    *type = v->type;
  if (data)
    *data = v->data;
  return true;
}

bool Registry::KeyExists(const std::u16string& keyPath) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  return Find(keyPath) != nullptr;
}

bool Registry::DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  Key* key = Find(keyPath);
  if (key == nullptr)
    return false;
  for (auto it = key->values.begin(); it != key->values.end(); ++it) {
    if (SameName(it->name, name)) {
      key->values.erase(it);
      return true;
    }
  }
  return false;
}

bool Registry::DeleteKey(const std::u16string& keyPath) {
  std::lock_guard<std::mutex> guard(S().lock);
  EnsureTree();
  std::vector<std::u16string> parts;
  if (!Split(keyPath, &parts) || parts.empty())
    return false;
  Key* parent = S().root.get();
  for (size_t i = 0; i + 1 < parts.size() && parent; ++i) parent = Child(parent, parts[i]);
  if (parent == nullptr)
    return false;
  for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
    if (SameName((*it)->name, parts.back())) {
      parent->subkeys.erase(it);
      return true;
    }
  }
  return false;
}

void Registry::FailValue(const std::u16string& name, int32_t status, int access, int count) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().faults.push_back(Fault{name, status, access, count});
}

void Registry::ClearFaults() {
  std::lock_guard<std::mutex> guard(S().lock);
  S().faults.clear();
}

// ----- kernel services -----

namespace {

// Stores a value for RTL_QUERY_REGISTRY_DIRECT: strings into the
// UNICODE_STRING EntryContext, numbers of up to 4 bytes into the ULONG,
// longer data into a buffer whose first LONG holds minus its size.
NTSTATUS StoreDirect(ULONG type, const std::vector<uint8_t>& data, PVOID entryContext) {
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    auto* destination = static_cast<PUNICODE_STRING>(entryContext);
    size_t bytes = data.size() & ~size_t(1);
    size_t text = bytes;
    while (text >= 2 && data[text - 2] == 0 && data[text - 1] == 0) text -= 2;
    if (text + 2 > 0xFFFF)
      return STATUS_BUFFER_OVERFLOW;
    if (destination->Buffer == nullptr) {
      destination->Buffer =
          static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, text + 2, MakePoolTag("Strg")));
      if (destination->Buffer == nullptr)
        return STATUS_NO_MEMORY;
      destination->MaximumLength = USHORT(text + 2);
    } else if (text + 2 > destination->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(destination->Buffer, data.data(), text);
    destination->Buffer[text / 2] = 0;
    destination->Length = USHORT(text);
    return STATUS_SUCCESS;
  }
  if (data.size() <= sizeof(ULONG)) {
    ULONG value = 0;
    memcpy(&value, data.data(), data.size());
    *static_cast<ULONG*>(entryContext) = value;
    return STATUS_SUCCESS;
  }
  LONG room = *static_cast<LONG*>(entryContext);
  if (room >= 0 || size_t(-room) < data.size())
    return STATUS_BUFFER_TOO_SMALL;
  memcpy(entryContext, data.data(), data.size());
  return STATUS_SUCCESS;
}

NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, const std::u16string& name, ULONG type,
                 const std::vector<uint8_t>& data, PVOID context) {
  if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
    return StoreDirect(type, data, entry->EntryContext);
  }
  std::vector<WCHAR> valueName(name.begin(), name.end());
  valueName.push_back(0);
  bool expand = (entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (expand && type == REG_MULTI_SZ) {
    // One call per string, each with its NUL.
    size_t chars = data.size() / 2;
    size_t start = 0;
    for (size_t i = 0; i < chars; ++i) {
      if (data[2 * i] != 0 || data[2 * i + 1] != 0)
        continue;
      if (i == start)
        break;  // the empty string that ends the list
      std::vector<uint8_t> one(data.begin() + 2 * start, data.begin() + 2 * i + 2);
      NTSTATUS status = entry->QueryRoutine(valueName.data(), REG_SZ, one.data(), ULONG(one.size()),
                                            context, entry->EntryContext);
      if (!NT_SUCCESS(status))
        return status;
      start = i + 1;
    }
    return STATUS_SUCCESS;
  }
  if (expand && type == REG_EXPAND_SZ)
    type = REG_SZ;
  std::vector<uint8_t> copy(data);  // the routine gets exactly the value's bytes
  return entry->QueryRoutine(valueName.data(), type, copy.empty() ? nullptr : copy.data(),
                             ULONG(copy.size()), context, entry->EntryContext);
}

struct Snapshot {
  bool found = false;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

}  // namespace
}  // namespace emu

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment) {
  (void)Environment;
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
  if (RelativeTo & RTL_REGISTRY_HANDLE)
    return STATUS_NOT_IMPLEMENTED;
  std::u16string base;
  if (!emu::ResolvePath(RelativeTo, Path, &base))
    return STATUS_INVALID_PARAMETER;
  std::u16string current = base;
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    emu::EnsureTree();
    if (emu::Find(base) == nullptr)
      return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY)
      current = base;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      current = base + u"\\" + emu::FromWide(entry->Name);
      std::lock_guard<std::mutex> guard(emu::S().lock);
      if (emu::Find(current) == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr)
        continue;
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) {
      NTSTATUS status = entry->QueryRoutine(const_cast<PWSTR>(entry->Name), REG_NONE, nullptr, 0,
                                            Context, entry->EntryContext);
      if (!NT_SUCCESS(status))
        return status;
      continue;
    }
    if (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
      // Every value of the key, one call each.
      std::vector<emu::Value> values;
      {
        std::lock_guard<std::mutex> guard(emu::S().lock);
        emu::Key* key = emu::Find(current);
        if (key == nullptr)
          return STATUS_OBJECT_NAME_NOT_FOUND;
        values = key->values;
      }
      for (const emu::Value& v : values) {
        NTSTATUS status = emu::Deliver(entry, v.name, v.type, v.data, Context);
        if (!NT_SUCCESS(status))
          return status;
      }
      continue;
    }
    std::u16string name = emu::FromWide(entry->Name);
    emu::Snapshot value;
    {
      std::lock_guard<std::mutex> guard(emu::S().lock);
      NTSTATUS fault = emu::TakeFault(name, emu::Registry::kRead);
      if (fault != STATUS_SUCCESS)
        return fault;
      emu::Key* key = emu::Find(current);
      emu::Value* v = key ? emu::FindValue(key, name) : nullptr;
      if (v != nullptr) {
        value.found = true;
        value.type = v->type;
        value.data = v->data;
      }
    }
    if (!value.found) {
      if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->DefaultType == REG_NONE)
        continue;
      const auto* bytes = static_cast<const uint8_t*>(entry->DefaultData);
      ULONG length = entry->DefaultLength;
      if (length == 0 && bytes != nullptr &&
          (entry->DefaultType == REG_SZ || entry->DefaultType == REG_EXPAND_SZ)) {
        length = ULONG((EmuRtlWcslen(static_cast<const WCHAR*>(entry->DefaultData)) + 1) * 2);
      }
      value.type = entry->DefaultType;
      if (bytes != nullptr)
        value.data.assign(bytes, bytes + length);
    }
    NTSTATUS status = emu::Deliver(entry, name, value.type, value.data, Context);
    if (!NT_SUCCESS(status))
      return status;
    if (value.found && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) {
      emu::Registry::DeleteValue(current, name);
    }
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                                ULONG ValueType, PVOID ValueData,
                                                ULONG ValueLength) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
  if (RelativeTo & RTL_REGISTRY_HANDLE)
    return STATUS_NOT_IMPLEMENTED;
  std::u16string path;
  if (!emu::ResolvePath(RelativeTo, Path, &path))
    return STATUS_INVALID_PARAMETER;
  if (ValueData == nullptr && ValueLength != 0)
    return STATUS_INVALID_PARAMETER;
  std::u16string name = emu::FromWide(ValueName);
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::EnsureTree();
  NTSTATUS fault = emu::TakeFault(name, emu::Registry::kWrite);
  if (fault != STATUS_SUCCESS)
    return fault;
  emu::Key* key = emu::Find(path);
  if (key == nullptr) {
    // Opened for writing with create semantics: the key itself may be new,
    // the keys above it must exist.
    size_t cut = path.find_last_of(u'\\');
    if (cut == std::u16string::npos || emu::Find(path.substr(0, cut)) == nullptr) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key = emu::Create(emu::S().root.get(), path);
    if (key == nullptr)
      return STATUS_OBJECT_NAME_INVALID;
  }
  emu::Set(key, name, ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
  std::u16string path;
  if (!emu::ResolvePath(RelativeTo, Path, &path))
    return STATUS_INVALID_PARAMETER;
  std::u16string name = emu::FromWide(ValueName);
  {
    std::lock_guard<std::mutex> guard(emu::S().lock);
    NTSTATUS fault = emu::TakeFault(name, emu::Registry::kWrite);
    if (fault != STATUS_SUCCESS)
      return fault;
  }
  return emu::Registry::DeleteValue(path, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCreateRegistryKey");
  std::u16string path;
  if (!emu::ResolvePath(RelativeTo, Path, &path))
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::EnsureTree();
  if (emu::Find(path) != nullptr)
    return STATUS_SUCCESS;
  // Only the last key is created; the keys above it must exist.
  size_t cut = path.find_last_of(u'\\');
  if (cut == std::u16string::npos || emu::Find(path.substr(0, cut)) == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return emu::Create(emu::S().root.get(), path) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  emu::internal::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
  std::u16string path;
  if (!emu::ResolvePath(RelativeTo, Path, &path))
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(emu::S().lock);
  emu::EnsureTree();
  return emu::Find(path) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
