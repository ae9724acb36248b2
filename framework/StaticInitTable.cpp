#include "framework/StaticInitTable.h"

#include "framework/TraceDriver.h"
#include "log/LogFile.h"

// The driver object first, then the log file object, so that at unload the
// log file is closed before the driver object goes.
const StaticInit StaticInitTable[] = {
    ConstructTraceDriver,
    LogFile::StaticInit,
};
const size_t StaticInitCount = sizeof StaticInitTable / sizeof StaticInitTable[0];

void RunStaticInitTable() {
  for (size_t i = 0; i < StaticInitCount; ++i) {
    if (StaticInitTable[i] != NULL) StaticInitTable[i]();
  }
}
