// A log file read while the driver writes it: opened so that the writer
// may go on appending, rename it at its size limit and replace it, read
// front to back as it grows, and told apart from the file that takes its
// name after a rotation. POSIX and Win32 (GrowingFile.cpp).
//
// On Windows the driver holds the log open for writing and shares it for
// reading only, and renames it (DELETE access) at its limit: a reader must
// share reading, writing and deletion, or it could not open the file, or
// the rotation would fail while it reads. A file that another program holds
// open cannot be replaced, so a reader lets go of a rotated generation as
// soon as it has read it. Windows 98 and Me know no FILE_SHARE_DELETE: there
// the file is opened without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pellinorlog {

class GrowingFile {
 public:
  // What names a file: device and inode, or volume and file index.
  struct Identity {
    bool known = false;
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const Identity& o) const {
      return known && o.known && volume == o.volume && index == o.index;
    }
  };

  GrowingFile() = default;
  ~GrowingFile();
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // Opens `path` for reading from its start. False when it cannot be
  // opened, with *missing set when there is no such file (else *error says
  // why: a folder, no access).
  bool Open(const std::string& path, bool* missing, std::string* error);
  void Close();
  bool IsOpen() const { return open_; }

  // Appends to *to what the file holds past what was read so far, at most
  // `most` bytes; the number of bytes, 0 at the end, -1 on a read error.
  long long ReadMore(std::string* to, size_t most);
  // Bytes read so far, and the file's size now.
  uint64_t Position() const { return position_; }
  uint64_t Size() const;
  Identity Id() const { return id_; }

  // The identity of the file `path` names now; not known when there is
  // none (or it cannot be looked at).
  static Identity IdentityOf(const std::string& path);

 private:
  bool open_ = false;
  uint64_t position_ = 0;
  Identity id_;
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace pellinorlog
