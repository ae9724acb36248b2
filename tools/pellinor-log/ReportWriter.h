// The output of pellinor-log's commands, as plain text (stable, documented
// in the README) or as JSON for scripts.
#pragma once

#include "tools/pellinor-log/CallAnalyzer.h"
#include "tools/pellinor-log/JsonWriter.h"
#include "tools/pellinor-log/LogReader.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace pellinorlog {

class ReportWriter {
 public:
  // At most this many steps of one connection's flow are listed.
  static constexpr size_t kFlowStepsShown = 40;

  ReportWriter(const CallAnalyzer& analysis, const ReadStats& stats,
               const std::vector<std::string>& files, std::ostream& out)
      : analysis_(analysis), stats_(stats), files_(files), out_(out) {}
  ReportWriter(const ReportWriter&) = delete;
  ReportWriter& operator=(const ReportWriter&) = delete;

  void SummaryText();
  void SummaryJson();
  void CallsText();
  void CallsJson();
  void ErrorsText();
  void ErrorsJson();
  // What could not be read: "N lines not understood" with the first
  // places, the messages that do not match the decoder's tables, files cut
  // in a line, time stamps that do not hold together. Written to standard
  // error, and only when HasDiagnostics.
  void NotUnderstoodText(std::ostream& out) const;
  bool HasDiagnostics() const;
  void NotUnderstoodJson(JsonWriter& json) const;

 private:
  std::string Place(uint32_t file, uint32_t line) const;
  void ConnectionJson(JsonWriter& json, const Connection& c) const;
  void ErrorJson(JsonWriter& json, const ErrorEntry& e) const;
  std::string CallNumbers(const Connection& c) const;

  const CallAnalyzer& analysis_;
  const ReadStats& stats_;
  const std::vector<std::string>& files_;
  std::ostream& out_;
};

// The pieces of the text reports that follow prints too: an error's two
// lines (place: "FILE:LINE"), a call's duration ("52.800 s", or "clock set
// back"), its numbers ("to 5551234 from 4711") and a start's settings.
std::string ErrorText(const ErrorEntry& e, const std::string& place);
std::string CallDurationText(const Connection& c);
std::string CallNumbersText(const Connection& c);
std::string SettingsText(const SettingsView& settings);

// "14:03:07.123", "2003-01-05 14:03:07.123", "2003-01-05T14:03:07.123Z",
// "52.800 s".
std::string FormatTime(int64_t ms);
std::string FormatDateTime(int64_t ms);
std::string FormatIsoTime(int64_t ms);
std::string FormatDuration(int64_t ms);

}  // namespace pellinorlog
