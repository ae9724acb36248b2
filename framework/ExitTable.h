// The table of static destructors. Each static object's constructor
// registers the routine that destroys it; the unload routine runs them, the
// last registered first, so static objects go in the reverse order of their
// construction.
#pragma once

#include <ntddk.h>

class ExitTable {
 public:
  typedef void (*Routine)();
  static const LONG kCapacity = 100;

  // 0 when registered; -1 (and nothing registered) when the table is full.
  static int Register(Routine routine);
  // Calls the registered routines from the last one to the first and leaves
  // the table empty, as a freshly loaded image has it.
  static void Run();
  static LONG Count();
};
