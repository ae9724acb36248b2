// Reads a trace log back into records, one block at a time. The log is the
// driver's own text: 8-bit, CR LF or LF line ends, blocks separated by empty
// lines, possibly several trace sessions one after another, possibly cut off
// at the end, possibly with lines no version of the driver wrote. Lines it
// cannot place are counted, never fatal.
#pragma once

#include "tools/pellinor-log/LogRecord.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace pellinorlog {

// Receives each record as soon as it is complete. `raw` is the block exactly
// as it stands in the log (its leading empty lines and its line ends
// included); the blocks of a file, one after another, are the whole file.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void OnRecord(const LogRecord& record, std::string_view raw) = 0;
};

struct LinePlace {
  uint32_t file;
  uint32_t line;
};

struct ReadStats {
  static constexpr size_t kPlacesKept = 10;

  uint32_t files = 0;
  uint64_t bytes = 0;
  uint64_t lines = 0;
  uint64_t records = 0;
  uint64_t unknownLines = 0;            // lines the reader could not place
  std::vector<LinePlace> firstUnknown;  // the first kPlacesKept of them
  uint64_t mismatchedMessages = 0;      // parameter lines not those of the decoder's table
  std::vector<LinePlace> firstMismatched;
  uint32_t cutFiles = 0;  // files whose last line has no line end
  uint64_t emptyLines = 0;
  // Time stamps whose weekday is not that of their date (a year past 9999,
  // which the driver cuts to four digits): their blocks are read, their
  // times are not.
  uint64_t badStamps = 0;
  std::vector<LinePlace> firstBadStamp;
  // Blocks of a repeated session start left out because the part before
  // it was read just before.
  uint64_t repeatedRecords = 0;
};

// Where one file stands among the generations of a size-limited log: its
// part line (the first of the file), else its first time stamp.
struct LogPart {
  uint32_t part = 0;  // 0: no part line (part 1, or an older driver's log)
  int64_t begunMs = 0;
  bool hasStamp = false;
  int64_t firstStampMs = 0;
};
LogPart FindLogPart(std::string_view text);

class LogReader {
 public:
  explicit LogReader(LogSink& sink) : sink_(sink) {}
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Reads one whole file; successive calls read successive files. A file
  // that continues the one read before it (its part line numbers the next
  // part of the same log) has its repeated session start left out.
  void Read(std::string_view text);

  // A file read while it is written (pellinor-log follow), in three steps
  // that give the records Read gives for the whole text. BeginFile starts
  // the next file. ReadGrowing reads what the file holds from where the
  // calls before it got to: each whole line; a block is handed on once the
  // next one has begun, or, when `settled` (the file has stopped growing),
  // as soon as its last line has come. It returns how many bytes of `text`
  // are done with; the caller passes the rest again, with what has been
  // added, next time. EndFile reads the rest of a file that will not grow
  // any more (it was rotated away, or the reading ends) as Read reads the
  // end of a file. A block handed on at a pause is taken to be whole, as
  // the driver writes each record's text at once; empty lines that end a
  // file after such a block are a block of their own (a whole-file read
  // adds them to the last block; the driver ends no file with them).
  void BeginFile();
  size_t ReadGrowing(std::string_view text, bool settled);
  void EndFile(std::string_view text);

  const ReadStats& Stats() const { return stats_; }

 private:
  enum class State : uint8_t { kIdle, kAfterStamp, kBody, kText };

  // Reads the lines of text (at file offset base_), the last one too unless
  // wholeLinesOnly; returns where the lines read end.
  size_t ReadLines(std::string_view text, bool wholeLinesOnly);
  // The end of a file's text: its last block handed on.
  void EndText(size_t size);
  void MarkSafe(uint64_t offset, uint32_t firstLine, uint32_t lines, uint32_t empty);
  void HandleLine(std::string_view line, uint64_t at);
  void StartRecord(uint64_t at);
  void CloseRecord(uint64_t end);
  void Flush();
  // Whether record_ belongs to a repeated start that is left out.
  bool Repeated();
  void FirstLine(std::string_view line);
  void BodyLine(std::string_view line);
  bool TextLine(std::string_view line);
  bool TextTakesEmptyLine() const;
  bool ParamLine(std::string_view line);
  void BeginMessage(const MessageView& header);
  void EndMessage();
  bool ParseStampCached(std::string_view line, int64_t* ms, bool* consistent);
  void Unknown();
  void Mismatched(uint32_t line);

  LogSink& sink_;
  ReadStats stats_;
  LogRecord record_;
  std::string_view text_;
  uint64_t base_ = 0;  // the offset of text_ in its file

  // Reading a growing file: the last place before which every block has
  // been handed on, with the line count and the statistics there.
  struct SafePlace {
    uint64_t offset = 0;
    uint32_t line = 0;
    ReadStats stats;
  };
  bool streaming_ = false;
  SafePlace safe_;
  State state_ = State::kIdle;
  bool open_ = false;    // record_ holds a record not yet handed on
  bool closed_ = false;  // its content has ended; only its hand-over waits
  bool pendingEmpty_ = false;
  uint64_t emptyBegin_ = 0;
  uint32_t emptyLine_ = 0;
  uint32_t lineNo_ = 0;

  // The message whose parameter lines are being read.
  bool inMessage_ = false;
  bool paramsOver_ = false;  // a payload dump or a cut ended its parameters
  const uint8_t* sequence_ = nullptr;
  uint32_t step_ = 0;
  uint32_t depth_ = 1;

  // Progress through a text block: which of its lines came.
  uint32_t textStage_ = 0;
  uint32_t textLines_ = 0;
  bool afterDump_ = false;  // hex lines here belong to a raw dump or a profile

  // The date part of the last time stamp, "Sun, Jan 05 2003", and its day.
  bool stampKnown_ = false;
  char stampDate_[17] = {};
  size_t stampDateLength_ = 0;
  bool stampConsistent_ = false;
  int64_t stampDays_ = 0;

  // The part lines of this file and of the one before.
  uint32_t filePart_ = 0;
  int64_t fileBegun_ = 0;
  uint32_t previousPart_ = 0;
  int64_t previousBegun_ = 0;
  bool skipRepeat_ = false;  // this file's repeat is to be left out
  bool repeating_ = false;   // inside a repeat
  bool leaveOut_ = false;    // ... that is left out
};

// Time stamp line to milliseconds since 1970; false when the line is not one
// (or its weekday is not that of its date).
bool ParseStamp(std::string_view line, int64_t* ms);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar
// (month 1 to 12; the day is not checked against the month).
int64_t DaysSince1970(int year, int month, int day);

}  // namespace pellinorlog
