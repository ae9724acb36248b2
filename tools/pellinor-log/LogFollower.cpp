#include "tools/pellinor-log/LogFollower.h"

#include <algorithm>

namespace pellinorlog {

std::vector<std::string> LogFollower::Generations() const {
  // Oldest first, as the driver names them: FILE.old.9 ... FILE.old.2,
  // FILE.old, FILE.
  std::vector<std::string> names;
  for (int n = kMostGenerations; n >= 2; --n) names.push_back(path_ + ".old." + std::to_string(n));
  names.push_back(path_ + ".old");
  names.push_back(path_);
  return names;
}

bool LogFollower::OpenNext(std::string* error) {
  std::string next = path_;
  if (previous_.known) {
    // The generation after the one just read.
    std::vector<std::string> names = Generations();
    std::vector<GrowingFile::Identity> ids;
    for (const std::string& name : names) ids.push_back(GrowingFile::IdentityOf(name));
    size_t at = names.size();
    for (size_t i = 0; i < names.size(); ++i)
      if (ids[i] == previous_)
        at = i;
    if (at + 1 < names.size()) {
      next = names[at + 1];
    } else if (at == names.size()) {
      // It is gone: the oldest generation that began after it. An older
      // file lying about from a larger LogKeep began before it.
      next.clear();
      for (size_t i = 0; i < names.size() && next.empty(); ++i) {
        if (!ids[i].known)
          continue;
        GrowingFile probe;
        bool missing = false;
        std::string ignored;
        if (!probe.Open(names[i], &missing, &ignored))
          continue;
        std::string head;
        probe.ReadMore(&head, kHeadKept);
        LogPart part = FindLogPart(head);
        if (!previousPart_.hasStamp || !part.hasStamp ||
            part.firstStampMs >= previousPart_.firstStampMs) {
          next = names[i];
          // Part 1 has no part line, so nothing to hold part 2's against.
          bool follows = previousPart_.part == 0 ? part.part == 2
                                                 : part.part == previousPart_.part + 1 &&
                                                       part.begunMs == previousPart_.begunMs;
          if (!follows)
            notes_ += "pellinor-log: " + path_ +
                      ": the log was rotated past the part being read; parts may be missing "
                      "before " +
                      names[i] + "\n";
        }
      }
      if (next.empty())
        next = path_;
    } else {
      return false;  // it is FILE itself: nothing newer yet
    }
  }
  bool missing = false;
  if (!file_.Open(next, &missing, error)) {
    // Missing: not begun yet, or between a rename and the fresh file.
    if (missing && !begun_ && !waitTold_) {
      waitTold_ = true;
      notes_ += "pellinor-log: waiting for " + path_ + "\n";
    }
    return false;
  }
  notes_ += begun_ ? "pellinor-log: " + files_.back() + " was rotated; reading on in " + next + "\n"
                   : "pellinor-log: following " + next + "\n";
  previous_ = GrowingFile::Identity();
  head_.clear();
  if (!begun_ && firstOpen_)
    firstOpen_(file_.Size());
  begun_ = true;
  files_.push_back(next);
  reader_.BeginFile();
  held_.clear();
  settled_ = true;
  return true;
}

void LogFollower::Feed(bool settled) {
  held_.erase(0, reader_.ReadGrowing(held_, settled));
}

long long LogFollower::ReadChunk(std::string* error) {
  size_t before = held_.size();
  long long got = file_.ReadMore(&held_, kChunk);
  if (got < 0) {
    *error = files_.back() + ": cannot be read";
    return -1;
  }
  if (head_.size() < kHeadKept)
    head_.append(held_, before, std::min<size_t>(size_t(got), kHeadKept - head_.size()));
  return got;
}

bool LogFollower::Drain(std::string* error) {
  for (;;) {
    long long got = ReadChunk(error);
    if (got < 0)
      return false;
    if (got == 0)
      break;
    Feed(false);
  }
  reader_.EndFile(held_);
  held_.clear();
  previous_ = file_.Id();
  previousPart_ = FindLogPart(head_);
  file_.Close();
  return true;
}

bool LogFollower::Poll(std::string* error) {
  error->clear();
  // A file just opened is read at the next look, after the note that
  // names it has gone out.
  if (!file_.IsOpen())
    return OpenNext(error);
  bool read = false;
  for (;;) {
    long long got = ReadChunk(error);
    if (got < 0)
      return false;
    if (got == 0)
      break;
    read = true;
    settled_ = false;
    Feed(false);
  }
  if (read) {
    quietLooks_ = 0;
    return true;
  }
  // Nothing added over a whole pause between two looks: the writer has
  // paused, and the block it wrote last is whole. (The look right after
  // one that read may come while a record is still being written.)
  if (++quietLooks_ >= 2 && !settled_) {
    Feed(true);
    settled_ = true;
  }
  if (GrowingFile::IdentityOf(path_) == file_.Id()) {
    if (file_.Size() >= file_.Position())
      return false;
    // Cut back under the reader (not by the driver, which only appends):
    // read afresh from its start.
    notes_ += "pellinor-log: " + path_ + ": the file was cut back; read again from its start\n";
    reader_.EndFile(held_);
    held_.clear();
    file_.Close();
    previous_ = GrowingFile::Identity();
    OpenNext(error);
    return true;
  }
  // Renamed away (or removed), or a generation older than FILE: the writer
  // has closed it, and what it holds now is all it will ever hold.
  if (!Drain(error))
    return false;
  OpenNext(error);
  return true;
}

void LogFollower::Finish() {
  if (!file_.IsOpen())
    return;
  reader_.EndFile(held_);
  held_.clear();
  file_.Close();
}

std::string LogFollower::TakeNotes() {
  std::string notes;
  notes.swap(notes_);
  return notes;
}

}  // namespace pellinorlog
