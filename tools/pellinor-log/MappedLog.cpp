#include "tools/pellinor-log/MappedLog.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pellinorlog {

MappedLog::~MappedLog() {
  Close();
}

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

}  // namespace pellinorlog
