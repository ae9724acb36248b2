// How far the operating system has started. The automatic start of tracing
// at load (Start = 2) creates the trace device only once the stage has
// reached SYSTEM_START_STAGE_READY: before that the system cannot open the
// traced device or the log file yet, and the driver retries later.
//
// The one place where the platforms differ. Each build links exactly one
// implementation: windows/SystemStartStage.cpp in pellinor.sys,
// emu/src/SystemStartStage.cpp in the host build.
#pragma once

#include <ntddk.h>

constexpr ULONG SYSTEM_START_STAGE_READY = 0x20000000;

// Called at passive level only.
ULONG SystemStartStage();
