// The constructors of the driver's static objects. There is no C++ run-time
// in the kernel to run global constructors, so the driver entry runs this
// table before anything else; each routine constructs one object in static
// storage and registers its destructor in the ExitTable.
#pragma once

#include <stddef.h>

typedef void (*StaticInit)();

extern const StaticInit StaticInitTable[];
extern const size_t StaticInitCount;

// Runs the table in order, skipping null entries.
void RunStaticInitTable();
