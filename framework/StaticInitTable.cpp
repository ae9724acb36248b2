#include "framework/StaticInitTable.h"

#include "framework/TraceDriver.h"

// The driver object first. The log file object of the log pipeline takes
// the second entry when the log subsystem joins the driver.
const StaticInit StaticInitTable[] = {
    ConstructTraceDriver,
};
const size_t StaticInitCount = sizeof StaticInitTable / sizeof StaticInitTable[0];

void RunStaticInitTable() {
  for (size_t i = 0; i < StaticInitCount; ++i) {
    if (StaticInitTable[i] != NULL) StaticInitTable[i]();
  }
}
