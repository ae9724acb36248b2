// A driver that starts by starting its filter.
#pragma once

#include <ntddk.h>

#include "framework/Driver.h"

class FilterDriver : public Driver {
 public:
  FilterDriver() {}
  ~FilterDriver() override {}

  // Slot 4: StartFilter.
  NTSTATUS StartDriver() override { return StartFilter(); }
  // Slot 8: the driver object of the filtered device, or null.
  virtual PDRIVER_OBJECT TargetDriverObject() { return NULL; }
  // Slot 9: finding and attaching the filter.
  virtual NTSTATUS StartFilter() { return STATUS_SUCCESS; }
};
