// The description of the traced device at the head of a trace: asked of the
// device itself through the CAPI information I/O controls, before the
// filter attaches (so none of these requests is traced), and queued as text
// blocks: the manufacturer and the number of controllers, one block per
// controller (serial number, versions, profile) and the total number of B
// channels. A manufacturer string that begins with "NRX" switches the
// writer's maker-specific decoding on.
#pragma once

#include <ntddk.h>

#include "control/TraceSettings.h"

class LogWriter;

// Sends every request to `target` with `file`, waiting for each; queues the
// blocks on `writer`, the first one time-stamped with `settings`. `own` is
// the sender's device object (see InternalRequest).
// PASSIVE_LEVEL. A failed request is reported in the text, never to the
// caller.
void queryTargetDevice(PDEVICE_OBJECT target, PFILE_OBJECT file, PDEVICE_OBJECT own,
                       LogWriter* writer, TraceSettings settings);
