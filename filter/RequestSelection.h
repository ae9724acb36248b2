// Which requests and completions the trace device records, and which
// completions it watches. Decided from the stack location, the requestor
// mode and the settings word alone; a message is looked at only when
// manufacturer messages are to be left out, and then only its length and
// command byte. Up to DISPATCH_LEVEL, no locks, no allocation.
#pragma once

#include <ntddk.h>

#include "control/TraceSettings.h"

// Whether the kind of request is selected by the settings: reads, writes and
// the nine CAPI I/O controls by TRACE_CAPI_FUNCTIONS, other I/O controls by
// TRACE_DETAILS, everything else by TRACE_ALL_REQUESTS.
bool shouldTrace(PIRP irp, TraceSettings settings);

// Whether the request carries a CAPI message that the trace shows at this
// point (on the way down, or at completion) and that the settings do not
// leave out: a write going down, a read coming up with at least 8 bytes, a
// kernel-mode CAPI_PUT_MESSAGE going down or CAPI_GET_MESSAGE coming up,
// and with TRACE_USER_MESSAGES a user-mode one.
bool carriesCapiMessage(PIRP irp, TraceSettings settings, bool atCompletion);

// Whether a message may travel up in the completion: a read, or a
// kernel-mode CAPI_GET_MESSAGE (a user-mode one with TRACE_USER_MESSAGES).
bool wantsCompletion(PIRP irp, TraceSettings settings);
