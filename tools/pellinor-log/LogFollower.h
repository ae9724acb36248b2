// Follows a log as the driver writes it: reads what is added to the file,
// hands its blocks to a reader as they are complete, and goes on into the
// next file when the driver rotates the log at its size limit, without
// losing or repeating a line.
//
// A rotation renames FILE to FILE.old (the older generations moving on to
// FILE.old.2 and so on) and begins a fresh FILE. The file being read is
// known by its identity, not its name: once FILE names another file (or
// none), the one held is complete (the driver closes a file before it
// renames it): it is read to its end, and then the generation that came
// after it, found by the identity among FILE.old.9 ... FILE.old, FILE. If
// it went before it could be looked up (more rotations than the driver
// keeps, or replaced), the oldest generation present that began after it
// (by the first time stamps) comes next, and a note says that parts may
// have been missed.
//
// Each Poll is one look; the caller waits between looks that found nothing
// (so tests can drive it step by step).
#pragma once

#include "tools/pellinor-log/GrowingFile.h"
#include "tools/pellinor-log/LogReader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pellinorlog {

class LogFollower {
 public:
  // Bytes read in one go; a poll reads on while there is more.
  static constexpr size_t kChunk = 1 << 20;
  // The start of each file kept for its first time stamp.
  static constexpr size_t kHeadKept = 4096;
  // Generations looked for after a rotation (the driver keeps at most 9).
  static constexpr int kMostGenerations = 9;

  // files: gets the name of each file as the reader begins it (the reader's
  // file numbers index it).
  LogFollower(const std::string& path, LogReader& reader, std::vector<std::string>& files)
      : path_(path), reader_(reader), files_(files) {}
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // One look: reads what was added, hands on the blocks that are complete
  // (the last one too when the file has stopped growing), and moves on
  // after a rotation. True when it read anything. False with *error set
  // when the file cannot be read (a folder, no access, a read error).
  bool Poll(std::string* error);

  // The end of following: what is left of the file is read as its end.
  void Finish();

  // Notes for standard error, taken once: the file followed, waited for,
  // rotated, cut back, parts missed.
  std::string TakeNotes();

  // Told the size of the first file when it is opened, before anything of
  // it is read (follow --new).
  void OnFirstOpen(std::function<void(uint64_t size)> opened) { firstOpen_ = std::move(opened); }

 private:
  bool OpenNext(std::string* error);
  // The rest of the held file, read to its end and handed on as a file's end.
  bool Drain(std::string* error);
  void Feed(bool settled);
  // Reads on in the held file; the bytes read, -1 (*error set) on failure.
  long long ReadChunk(std::string* error);
  std::vector<std::string> Generations() const;

  const std::string path_;
  LogReader& reader_;
  std::vector<std::string>& files_;
  GrowingFile file_;
  std::string held_;  // read, not yet handed on
  bool begun_ = false;
  bool waitTold_ = false;
  bool settled_ = true;             // nothing added since the last pause was handed on
  int quietLooks_ = 0;              // looks in a row that found nothing
  GrowingFile::Identity previous_;  // the last file read to its end
  std::function<void(uint64_t)> firstOpen_;
  std::string head_;  // the start of the held file, for its first time stamp
  LogPart previousPart_;
  std::string notes_;
};

}  // namespace pellinorlog
