#include "framework/ExitTable.h"

namespace {
// Zero-initialised static storage: no constructor has to run for it.
ExitTable::Routine routines[ExitTable::kCapacity];
LONG count;
}  // namespace

int ExitTable::Register(Routine routine) {
  if (count >= kCapacity)
    return -1;
  routines[count] = routine;
  count++;
  return 0;
}

void ExitTable::Run() {
  while (count > 0) {
    count--;
    Routine routine = routines[count];
    routines[count] = NULL;
    if (routine != NULL)
      routine();
  }
}

LONG ExitTable::Count() {
  return count;
}
