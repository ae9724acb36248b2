// The simulated CAPI 2.0 provider: a driver of its own in the emulated
// kernel ("CapiSim", pool tag 'SimC') that owns \Device\CAPI201 with the
// user-mode link \DosDevices\CAPI20 (buffered I/O), as the CAPI device the
// trace driver attaches above.
//
// What it answers (codes in sim/CapiCodes.h):
//  - I/O controls (IRP_MJ_DEVICE_CONTROL): input and output in the system
//    buffer. CAPI_PUT_MESSAGE's input and CAPI_GET_MESSAGE's output are a
//    CAPI_PARAMETER_BLOCK (message pointer, B3 data pointer); a user-mode
//    caller's pointers are user addresses, read in its context.
//  - Internal I/O controls (IRP_MJ_INTERNAL_DEVICE_CONTROL, kernel-mode
//    callers): the input lies behind Type3InputBuffer (for PUT and GET the
//    CAPI_PARAMETER_BLOCK, which GET fills in), the output at UserBuffer.
//  - Writes put one message, its DATA_B3 payload right behind it; reads get
//    one, payload behind it.
//
// One application per file object: CAPI_REGISTER (input: message buffer
// size, maximum logical connections, B3 blocks, B3 block length, u16 each;
// output: the u32 application ID, lowest free from 1) binds it to the file,
// and CAPI_RELEASE, or the file's cleanup, ends it. Messages put must carry
// that ID. Get-message takes the next queued message; with none queued it
// succeeds with information 0 (a read likewise; an I/O control leaves a
// zero parameter block). A message got by a kernel-mode caller stays in
// the provider, its pointers valid, until the application's next get or
// release; a user-mode caller's lands in the application's user-memory area
// (2048 bytes for the message, then the payload), likewise valid until the
// next get.
//
// Information I/O controls take the controller number as the input's first
// word (AND 0x7F; 0 without input, answered for the provider as a whole)
// and return: CAPI_GET_MANUFACTURER 64 bytes, CAPI_GET_SERIAL 8,
// CAPI_GET_VERSION 8 (CAPI major, minor, manufacturer major, minor),
// CAPI_GET_PROFILE 64 (byte 0: number of controllers). A controller that
// does not exist: STATUS_INVALID_PARAMETER; an output buffer too small:
// STATUS_BUFFER_TOO_SMALL.
//
// Statuses follow the CAPI errors the tracer names: STATUS_INVALID_HANDLE
// (no application on the file, or another application's ID),
// STATUS_ILLEGAL_FUNCTION (a message too short, too long or not taken),
// STATUS_TOO_MANY_COMMANDS (queue full), STATUS_INVALID_PARAMETER (a null
// or short parameter block), STATUS_ACCESS_VIOLATION (a user-mode pointer
// outside user memory), STATUS_TOO_MANY_SESSIONS (no free application ID).
//
// Unload completes every request still pending with STATUS_CANCELLED,
// cancels the completion timer and DPC, waits for a DPC already running
// and for dispatch routines under way, then frees everything. Requests that
// reach the device after that (cleanup and close of files still open)
// are answered without touching freed state: cleanup and close succeed,
// everything else fails with STATUS_DELETE_PENDING. (A real system does not
// unload a driver whose files are open; the emulated one lets a test do it
// to see the pending requests drained.) Applications must not keep sending
// while the provider unloads: a request on its way into the driver as it
// goes is caught by the emulated kernel, and a message got just before the
// unload is freed with the provider.
//
// The DPC signals the unload's wait as the last thing it does with the
// extension; the unload then calls KeFlushQueuedDpcs so that the DPC has
// returned before the device goes.
#pragma once

#include <cstdint>
#include <string>

#include "sim/CapiCodes.h"
#include "sim/CapiDeviceConfig.h"
#include "sim/ProviderDevice.h"

#include <ntddk.h>

namespace sim {

// Loads the provider with `config` (kept until unload). Fails with
// STATUS_IMAGE_ALREADY_LOADED while loaded, and with the status of a
// failing step (device, link or pool), leaving nothing behind.
NTSTATUS LoadCapiDevice(const CapiDeviceConfig& config = CapiDeviceConfig());
// Unloads it (see above). STATUS_INVALID_DEVICE_STATE when not loaded.
NTSTATUS UnloadCapiDevice();
bool CapiDeviceLoaded();
PDRIVER_OBJECT CapiDriverObject();
PDEVICE_OBJECT CapiDeviceObject();

// An incoming call, as the line would signal it: a CONNECT_IND with a new
// PLCI to one application listening on the controller (its LISTEN_REQ's CIP
// mask has bit 0, or the bit of `cipValue`), the lowest ID first, or to
// `application` when that is not 0 (it must be listening too).
struct IncomingCall {
  uint32_t controller = 1;
  uint16_t cipValue = 2;  // unrestricted digital information
  std::string calledNumber = "5551234";
  std::string callingNumber = "5550001";
  uint16_t application = 0;
};
// The PLCI offered, or 0 (no listener, no free PLCI, queue full, not
// loaded) with the reason in *status when given.
uint32_t InjectIncomingCall(const IncomingCall& call, NTSTATUS* status = nullptr);

struct CapiDeviceCounters {
  uint32_t applications = 0;       // registered now
  uint32_t queuedMessages = 0;     // waiting to be got, all applications
  uint32_t pendingRequests = 0;    // returned STATUS_PENDING, not completed yet
  uint32_t completedLater = 0;     // completed from the DPC since load
  uint32_t cancelledAtUnload = 0;  // of the last unload
  uint32_t plcisInUse = 0;         // all controllers
};
CapiDeviceCounters GetCapiDeviceCounters();

}  // namespace sim
