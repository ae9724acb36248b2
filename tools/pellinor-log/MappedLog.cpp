#include "tools/pellinor-log/MappedLog.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdint>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pellinorlog {

MappedLog::~MappedLog() {
  Close();
}

#if defined(_WIN32)

void MappedLog::Close() {
  if (mapped_)
    UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

bool MappedLog::Open(const std::string& path) {
  Close();
  // The driver may hold the log open for writing (and rename it at its
  // limit) while it is read: every kind of sharing, as follow shares it
  // (GrowingFile.h). Windows 98 and Me know no FILE_SHARE_DELETE.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  // GetFileSize rather than GetFileSizeEx, which Windows 98 and Me lack.
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  uint64_t size = uint64_t(high) << 32 | low;
  if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || size > SIZE_MAX / 2) {
    CloseHandle(file);
    return false;
  }
  if (size == 0) {
    CloseHandle(file);
    return true;
  }
  // The bytes there now: what the writer appends later is not in the view.
  HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, high, low, nullptr);
  CloseHandle(file);
  if (mapping == nullptr)
    return false;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size_t(size));
  CloseHandle(mapping);
  if (view == nullptr)
    return false;
  data_ = static_cast<const char*>(view);
  size_ = size_t(size);
  mapped_ = true;
  return true;
}

#else

void MappedLog::Close() {
  if (mapped_)
    munmap(const_cast<char*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

bool MappedLog::Open(const std::string& path) {
  Close();
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  if (st.st_size == 0) {
    close(fd);
    return true;
  }
  void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (p == MAP_FAILED)
    return false;
  // Read front to back, once.
  madvise(p, size_t(st.st_size), MADV_WILLNEED);
  data_ = static_cast<const char*>(p);
  size_ = size_t(st.st_size);
  mapped_ = true;
  return true;
}

#endif

}  // namespace pellinorlog
