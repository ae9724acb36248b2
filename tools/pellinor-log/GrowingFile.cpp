#include "tools/pellinor-log/GrowingFile.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace pellinorlog {

GrowingFile::~GrowingFile() {
  Close();
}

#if defined(_WIN32)

namespace {

// The writer may append, rename and replace: every kind of sharing. Windows
// 98 and Me refuse FILE_SHARE_DELETE as an invalid parameter.
HANDLE OpenShared(const std::string& path, DWORD access) {
  HANDLE h =
      CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
    h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h;
}

GrowingFile::Identity IdentityOfHandle(HANDLE h) {
  GrowingFile::Identity id;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    id.known = true;
    id.volume = info.dwVolumeSerialNumber;
    id.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  }
  return id;
}

}  // namespace

bool GrowingFile::Open(const std::string& path, bool* missing, std::string* error) {
  Close();
  *missing = false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = path + ": is a directory";
    return false;
  }
  HANDLE h = OpenShared(path, GENERIC_READ);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      *missing = true;
    } else {
      *error = path + ": cannot be opened (Windows error " + std::to_string(code) + ")";
    }
    return false;
  }
  handle_ = h;
  open_ = true;
  position_ = 0;
  id_ = IdentityOfHandle(h);
  return true;
}

void GrowingFile::Close() {
  if (open_)
    CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  open_ = false;
  position_ = 0;
  id_ = Identity();
}

long long GrowingFile::ReadMore(std::string* to, size_t most) {
  size_t old = to->size();
  to->resize(old + most);
  DWORD got = 0;
  // Sequential reads: the handle's position follows what was read.
  if (!ReadFile(static_cast<HANDLE>(handle_), &(*to)[old], DWORD(most), &got, nullptr)) {
    to->resize(old);
    return -1;
  }
  to->resize(old + got);
  position_ += got;
  return (long long)got;
}

uint64_t GrowingFile::Size() const {
  if (!open_)
    return 0;
  // GetFileSize rather than GetFileSizeEx, which Windows 98 and Me lack.
  DWORD high = 0;
  DWORD low = GetFileSize(static_cast<HANDLE>(handle_), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
    return 0;
  return uint64_t(high) << 32 | low;
}

GrowingFile::Identity GrowingFile::IdentityOf(const std::string& path) {
  // No access asked: only the file's identity is read, and an open without
  // access takes no part in sharing, so the writer's opens and renames are
  // not disturbed.
  HANDLE h = OpenShared(path, 0);
  if (h == INVALID_HANDLE_VALUE)
    return Identity();
  Identity id = IdentityOfHandle(h);
  CloseHandle(h);
  return id;
}

#else  // POSIX

bool GrowingFile::Open(const std::string& path, bool* missing, std::string* error) {
  Close();
  *missing = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT)
      *missing = true;
    else
      *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    *error = path + (folder ? ": is a directory" : ": is not a regular file");
    close(fd);
    return false;
  }
  fd_ = fd;
  open_ = true;
  position_ = 0;
  id_.known = true;
  id_.volume = uint64_t(st.st_dev);
  id_.index = uint64_t(st.st_ino);
  return true;
}

void GrowingFile::Close() {
  if (open_)
    close(fd_);
  fd_ = -1;
  open_ = false;
  position_ = 0;
  id_ = Identity();
}

long long GrowingFile::ReadMore(std::string* to, size_t most) {
  size_t old = to->size();
  to->resize(old + most);
  ssize_t got;
  do {
    got = read(fd_, &(*to)[old], most);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    to->resize(old);
    return -1;
  }
  to->resize(old + size_t(got));
  position_ += uint64_t(got);
  return got;
}

uint64_t GrowingFile::Size() const {
  struct stat st;
  if (!open_ || fstat(fd_, &st) != 0)
    return 0;
  return uint64_t(st.st_size);
}

GrowingFile::Identity GrowingFile::IdentityOf(const std::string& path) {
  Identity id;
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    id.known = true;
    id.volume = uint64_t(st.st_dev);
    id.index = uint64_t(st.st_ino);
  }
  return id;
}

#endif

}  // namespace pellinorlog
