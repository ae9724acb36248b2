#include "tools/pellinorctl/StartFailure.h"

#include "tools/pellinorctl/ControlCodes.h"
#include "tools/pellinorctl/SystemCodes.h"

namespace pellinorctl {
namespace {

// A value in quotes; one too long to read in a message by its start.
std::string Shown(const std::string& value) {
  constexpr size_t kShownChars = 60;
  if (value.size() <= kShownChars)
    return "\"" + value + "\"";
  return "\"" + value.substr(0, kShownChars) + "...\"";
}

// The first file or folder name of a path that no file system takes;
// empty when there is none.
std::string LongFileName(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos)
      end = path.size();
    if (end - start > kFileNameMaxChars)
      return path.substr(start, end - start);
    start = end + 1;
  }
  return std::string();
}

std::string Characters(size_t count) {
  return std::to_string(count) + " characters long";
}

// The folder the log file goes into, as the user wrote it: "C:\" for a file
// in the root of a drive; empty for a name without a folder.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string::npos)
    return std::string();
  const std::string folder = path.substr(0, slash);
  return folder.size() == 2 && folder[1] == ':' ? folder + "\\" : folder;
}

// The object name the driver opens for the traced device.
std::string DevicePath(const std::string& target) {
  return !target.empty() && target[0] == '\\' ? target : "\\Device\\" + target;
}

std::string TracedDevice(const StartSettings& settings) {
  std::string text = "the traced device " + Shown(settings.target);
  if (DevicePath(settings.target) != settings.target)
    text += " (" + DevicePath(settings.target) + ")";
  return text;
}

std::string LogFile(const StartSettings& settings) {
  return "the log file " + Shown(settings.log);
}

std::string ExplainInvalidLogName(const StartSettings& settings) {
  const std::string longName = LongFileName(settings.log);
  if (!longName.empty()) {
    return "cannot create " + LogFile(settings) + ": the name " + Shown(longName) + " is " +
           Characters(longName.size()) + ", a file or folder name at most " +
           std::to_string(kFileNameMaxChars);
  }
  if (!settings.log.empty() && settings.log.back() == '\\') {
    return LogFile(settings) + " names a folder, not a file";
  }
  return LogFile(settings) + " is not a valid file name";
}

std::string ExplainMissingPath(const StartSettings& settings) {
  // A file where the path needs a folder fails alike: "no folder" holds
  // for both.
  const std::string folder = FolderOf(settings.log);
  const std::string missing =
      folder.empty() ? "its path was not found" : "there is no folder " + Shown(folder);
  // A plain device name that is not there gives "does not exist"; a name
  // given as a path can lack a part of it, and the device is opened first.
  if (settings.haveTarget && settings.target.find('\\') != std::string::npos) {
    return TracedDevice(settings) + " does not exist, or " + missing + " for " + LogFile(settings);
  }
  return "cannot create " + LogFile(settings) + ": " + missing;
}

}  // namespace

std::string LogPathTooLong(const std::string& path) {
  if (path.size() > kLogPathMaxChars) {
    return "the log file's path is " + Characters(path.size()) + ", at most " +
           std::to_string(kLogPathMaxChars);
  }
  const std::string longName = LongFileName(path);
  if (!longName.empty()) {
    return "the name " + Shown(longName) + " is " + Characters(longName.size()) +
           ", a file or folder name at most " + std::to_string(kFileNameMaxChars);
  }
  return std::string();
}

std::string TargetNameTooLong(const std::string& name) {
  const size_t limit =
      kDriverNameChars - (!name.empty() && name[0] == '\\' ? 0 : kDevicePrefixChars);
  if (name.size() <= limit)
    return std::string();
  return "the traced device's name is " + Characters(name.size()) + ", at most " +
         std::to_string(limit);
}

std::string ExplainStartFailure(uint32_t status, const StartSettings& settings) {
  switch (status) {
    case kStatusDeviceDoesNotExist:
      if (!settings.haveTarget)
        return std::string();
      return TracedDevice(settings) + " does not exist";
    case kStatusTooLate:
      return "the system is shutting down";
    case kStatusDeletePending:
      // Tracing that stays on after its device went away is running or
      // stopped; with no trace device the driver itself is going.
      if (!settings.haveState)
        return std::string();
      if (settings.state == TRACE_STATE_NONE)
        return "the driver is being unloaded";
      return (settings.haveTarget ? TracedDevice(settings) : std::string("the traced device")) +
             " was removed: stop tracing ('pellinorctl stop'), then start again once it is back";
    case kStatusInsufficientResources: {
      // The driver's names are counted strings: one that does not fit fails
      // as an allocation does.
      if (settings.haveTarget && !TargetNameTooLong(settings.target).empty()) {
        return TargetNameTooLong(settings.target);
      }
      if (settings.haveLog && settings.log.size() > kLogPathMaxChars) {
        return LogPathTooLong(settings.log);
      }
      return "the driver ran out of memory";
    }
    default:
      break;
  }
  // A start while a trace device is there (tracing, or stopped with
  // requests outstanding) reads the settings again and nothing else: the
  // log stays open, so no failure of it is the log file's.
  if (settings.haveState && settings.state != TRACE_STATE_NONE)
    return "a setting could not be read; tracing goes on as it was";
  if (!settings.haveLog)
    return std::string();
  // The rest are the log file's creation.
  switch (status) {
    case kStatusObjectPathNotFound:
      return ExplainMissingPath(settings);
    case kStatusObjectNameInvalid:
      return ExplainInvalidLogName(settings);
    case kStatusFileIsADirectory:
      return LogFile(settings) + " is a folder";
    case kStatusSharingViolation:
      return LogFile(settings) + " is open in another program";
    case kStatusAccessDenied:
      return "cannot create or write " + LogFile(settings) + ": access denied";
    default:
      return std::string();
  }
}

}  // namespace pellinorctl
