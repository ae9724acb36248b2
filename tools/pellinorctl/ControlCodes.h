// What the control tool needs to reach the driver: the control device's
// I/O control codes and state word (the driver's own definitions,
// control/TraceControlCodes.h), the name user mode opens it by, and the
// service that install registers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/TraceControlCodes.h"

namespace pellinorctl {

// The name under which user mode opens the control device.
constexpr const char kControlDevicePath[] = "\\\\.\\PellinorWin32CTL";

// The kernel service that install registers and uninstall removes.
constexpr const char kServiceName[] = "Pellinor";
constexpr const char kServiceDisplayName[] = "Pellinor CAPI trace driver";
// In the kernel's own form, \SystemRoot being the object manager's link to
// the Windows folder. Windows also takes a path relative to that folder, but
// not every implementation of the service control manager resolves one.
constexpr const char kServiceImagePath[] = "\\SystemRoot\\System32\\drivers\\pellinor.sys";
constexpr uint32_t kServiceTypeKernelDriver = 1;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceStartAuto = 2;
constexpr uint32_t kServiceStartDemand = 3;

// The driver as the source of its entries in the System event log, under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\Pellinor, as
// install registers it and uninstall removes it. The event viewer finds an
// entry's text in the message files: the driver's image holds its own
// messages, the I/O manager's IoLogMsg.dll (first, as drivers register it)
// the texts of the system's I/O codes. Errors, warnings and information.
constexpr const char kEventLogSubkey[] = "EventLog\\System\\";
constexpr const char kEventMessageFile[] =
    "%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\drivers\\pellinor.sys";
constexpr uint32_t kEventTypesSupported = 7;

// The settings values of the service key and what the driver makes of each
// when it reads it (control/TraceSettings.h and control/ControlDevice.cpp;
// the tests compare these with the driver's): a value that is missing or
// empty reads as its default; flags lose the bits the registry may not set,
// the DATA_B3 bytes, the log size limit and the generations kept are
// held to their ranges.
constexpr char kFlagsValueName[] = "Pellinor_Flags";
constexpr char kB3BytesValueName[] = "Pellinor_B3Bytes";
constexpr char kLogValueName[] = "Pellinor_Log";
constexpr char kTargetValueName[] = "Pellinor_Target";
constexpr char kLogLimitValueName[] = "Pellinor_LogLimit";
constexpr char kLogKeepValueName[] = "Pellinor_LogKeep";
constexpr char kCallerValueName[] = "Pellinor_Caller";
constexpr char kUserMessagesValueName[] = "Pellinor_UserMessages";
constexpr char kStartValueName[] = "Start";
constexpr uint32_t kDefaultFlags = 0x0003;
constexpr uint32_t kFlagsKept = 0xFFFF0000u | 0xFACFu;
constexpr uint32_t kDefaultB3Bytes = 32;
constexpr uint32_t kMaxB3Bytes = 32;
constexpr char kDefaultLog[] = "C:\\Pellinor.log";
constexpr char kDefaultTarget[] = "CAPI201";
constexpr uint32_t kDefaultLogLimit = 0;
constexpr uint32_t kMaxLogLimit = 4095;
constexpr uint32_t kDefaultLogKeep = 1;
constexpr uint32_t kMaxLogKeep = 9;
constexpr uint32_t kDefaultCaller = 0;
constexpr uint32_t kDefaultUserMessages = 0;

// The driver opens the log file as \DosDevices\PATH and the traced device
// as \Device\NAME (a name that begins with a backslash as it is), each in a
// counted string of at most 0xFFFC bytes: 32766 characters with the prefix.
constexpr size_t kDriverNameChars = 0xFFFC / 2;
constexpr size_t kLogPathMaxChars = kDriverNameChars - (sizeof("\\DosDevices\\") - 1);
static_assert(kLogPathMaxChars == 32754, "the longest log file path");
constexpr size_t kDevicePrefixChars = sizeof("\\Device\\") - 1;
// Every file system Windows writes to (FAT, NTFS, exFAT) takes file and
// folder names of at most 255 characters.
constexpr size_t kFileNameMaxChars = 255;

}  // namespace pellinorctl
