// The driver's entries in the system event log: their event codes, as the
// message table compiled into pellinor.sys (windows/PellinorEvents.mc)
// numbers them, and as the emulated kernel and its scenarios name them.
//
// A code is an NTSTATUS-style value: severity in the top two bits, the
// customer bit (a code of the driver, not of the system), the driver's own
// facility, and the message number. In each message %1 is the driver's name
// (the I/O manager inserts it), %2 and %3 the entry's insertion strings.
// The Windows build's image check holds the message table to this list.
//
// Plain constants without kernel types: pellinor-sim and the tests read the
// names too.
#pragma once

#include <stdint.h>

// The facility of the driver's own event codes.
constexpr uint32_t PELLINOR_EVENT_FACILITY = 0x0CA;

constexpr uint32_t PELLINOR_EVENT_SEVERITY_WARNING = 0x80000000u;
constexpr uint32_t PELLINOR_EVENT_SEVERITY_ERROR = 0xC0000000u;
constexpr uint32_t PELLINOR_EVENT_CUSTOMER = 0x20000000u;

constexpr uint32_t PellinorEventCode(uint32_t severity, uint32_t number) {
  return severity | PELLINOR_EVENT_CUSTOMER | PELLINOR_EVENT_FACILITY << 16 | number;
}

// Tracing could not start: the traced device (%2, the target name as
// configured) could not be opened; %3 the status.
constexpr uint32_t PELLINOR_EVENT_TARGET_FAILED =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_ERROR, 1);
// Tracing could not start: the log file (%2, its path) could not be opened;
// %3 the status.
constexpr uint32_t PELLINOR_EVENT_LOG_FAILED = PellinorEventCode(PELLINOR_EVENT_SEVERITY_ERROR, 2);
// Tracing could not start for another reason (a setting that cannot be
// read, no memory); %2 the status.
constexpr uint32_t PELLINOR_EVENT_START_FAILED =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_ERROR, 3);
// Trace records were lost (%2 the log's path, %3 how many at the first
// report); once per trace device.
constexpr uint32_t PELLINOR_EVENT_RECORDS_LOST =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_WARNING, 4);
// The automatic start has waited a minute for the traced device (%2);
// once per load.
constexpr uint32_t PELLINOR_EVENT_TARGET_WAITING =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_WARNING, 5);
// The log (%2) reached its size limit and could not be renamed (%3 the
// status); once per log, as the log itself says it.
constexpr uint32_t PELLINOR_EVENT_ROTATION_FAILED =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_WARNING, 6);
// At a rotation of the log (%2), an older generation could not be renamed
// to make room (%3 the status): the oldest kept generation was replaced, so
// one is lost. Once per log, as the log itself says each.
constexpr uint32_t PELLINOR_EVENT_GENERATION_LOST =
    PellinorEventCode(PELLINOR_EVENT_SEVERITY_WARNING, 7);

struct PellinorEventName {
  uint32_t code;
  const char* name;
};

constexpr PellinorEventName kPellinorEvents[] = {
    {PELLINOR_EVENT_TARGET_FAILED, "PELLINOR_EVENT_TARGET_FAILED"},
    {PELLINOR_EVENT_LOG_FAILED, "PELLINOR_EVENT_LOG_FAILED"},
    {PELLINOR_EVENT_START_FAILED, "PELLINOR_EVENT_START_FAILED"},
    {PELLINOR_EVENT_RECORDS_LOST, "PELLINOR_EVENT_RECORDS_LOST"},
    {PELLINOR_EVENT_TARGET_WAITING, "PELLINOR_EVENT_TARGET_WAITING"},
    {PELLINOR_EVENT_ROTATION_FAILED, "PELLINOR_EVENT_ROTATION_FAILED"},
    {PELLINOR_EVENT_GENERATION_LOST, "PELLINOR_EVENT_GENERATION_LOST"},
};
static_assert(sizeof(kPellinorEvents) / sizeof(kPellinorEvents[0]) == 7, "one name per event");
static_assert(PELLINOR_EVENT_TARGET_FAILED == 0xE0CA0001u, "an error of the driver's facility");
static_assert(PELLINOR_EVENT_ROTATION_FAILED == 0xA0CA0006u, "a warning of the driver's facility");
