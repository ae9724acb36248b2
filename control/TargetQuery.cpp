#include "control/TargetQuery.h"

#include <stdarg.h>

#include "capi/TextFormat.h"
#include "framework/Pool.h"
#include "log/LogWriter.h"
#include "trace/HexDump.h"
#include "trace/InternalRequest.h"
#include "trace/NameTables.h"
#include "trace/RequestCapture.h"

namespace {

constexpr ULONG QUERY_TEXT_SIZE = 1000;
constexpr ULONG PROFILE_TEXT_SIZE = 500;
constexpr ULONG QUERY_DATA_SIZE = 64;
// The output lengths asked for; strings are read no further than these.
constexpr ULONG MANUFACTURER_LENGTH = 64;
constexpr ULONG SERIAL_LENGTH = 8;
constexpr ULONG VERSION_LENGTH = 8;
constexpr ULONG PROFILE_LENGTH = 64;
static_assert(PROFILE_LENGTH / 16 * kHexLineChars + 1 <= PROFILE_TEXT_SIZE,
              "the profile's hex lines fit their buffer");

// The working storage of one query, one non-paged block: the data buffer is
// the system buffer of the requests, which the target may touch at
// DISPATCH_LEVEL.
struct QueryStorage {
  UCHAR data[QUERY_DATA_SIZE];
  char text[QUERY_TEXT_SIZE];
  char profile[PROFILE_TEXT_SIZE];
};

// Appends to the block being built; text that does not fit is cut.
void Append(QueryStorage* storage, ULONG* length, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Append(QueryStorage* storage, ULONG* length, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatResult result =
      FormatTextV(storage->text + *length, QUERY_TEXT_SIZE - *length, format, args);
  va_end(args);
  *length += ULONG(result.length);
}

USHORT Word(const UCHAR* data, ULONG offset) {
  return USHORT(data[offset] | data[offset + 1] << 8);
}

void QueueBlock(LogWriter* writer, const char* text, bool timeStamped, TraceSettings settings) {
  writer->Submit(timeStamped ? makeTextRecord(text, settings) : makeTextRecord(text));
}

// One controller's block, as far as its requests succeed. Returns its B
// channels (0 when the profile could not be read).
ULONG DescribeController(InternalRequest* request, QueryStorage* storage, ULONG* length,
                         ULONG controller, bool maker) {
  UCHAR* data = storage->data;
  Append(storage, length, "--- Controller Nr. %d ---\n", int(controller));
  NTSTATUS status = sendInternalIoctl(request, CAPI_GET_SERIAL, data, SERIAL_LENGTH, controller);
  if (NT_SUCCESS(status)) {
    Append(storage, length, "Serial Number:              %.*s\n", int(SERIAL_LENGTH),
           reinterpret_cast<const char*>(data));
    status = sendInternalIoctl(request, CAPI_GET_VERSION, data, VERSION_LENGTH, controller);
  }
  if (NT_SUCCESS(status)) {
    unsigned capiMajor = Word(data, 0);
    unsigned capiMinor = Word(data, 2);
    unsigned a = Word(data, 4);
    unsigned b = Word(data, 6);
    Append(storage, length, "CAPI Version:               %u.%u\n", capiMajor, capiMinor);
    if (maker) {
      Append(storage, length, "Manufacturer Version (NRX): %u.%02X-%02u  (%u.%u)\n",
             (a >> 4) & 0xF, ((a & 0xF) << 4) | ((b >> 4) & 0xF), b & 0xF, a, b);
    } else {
      Append(storage, length, "Manufacturer Version:       %u.%u\n", a, b);
    }
    status = sendInternalIoctl(request, CAPI_GET_PROFILE, data, PROFILE_LENGTH, controller);
  }
  if (!NT_SUCCESS(status)) {
    Append(storage, length, "Error calling target device:\n     (0x%X: %s)\n", unsigned(status),
           ntStatusName(ULONG(status)));
    return 0;
  }
  formatHexLines(storage->profile, data, PROFILE_LENGTH);
  Append(storage, length, "Profile:\n%s", storage->profile);
  return Word(data, 2);
}

}  // namespace

void queryTargetDevice(PDEVICE_OBJECT target, PFILE_OBJECT file, PDEVICE_OBJECT own,
                       LogWriter* writer, TraceSettings settings) {
  QueryStorage* storage =
      static_cast<QueryStorage*>(PoolAlloc(sizeof(QueryStorage), NonPagedPool));
  if (storage == NULL)
    return;
  InternalRequest request(target, file, own);
  UCHAR* data = storage->data;

  ULONG length = 0;
  Append(storage, &length, "=== Target Device Query ===\n");
  bool maker = false;
  ULONG controllers = 0;
  NTSTATUS status =
      sendInternalIoctl(&request, CAPI_GET_MANUFACTURER, data, MANUFACTURER_LENGTH, 0);
  if (NT_SUCCESS(status)) {
    if (data[0] == 'N' && data[1] == 'R' && data[2] == 'X') {
      maker = true;
      writer->SetNrxTarget();
    }
    Append(storage, &length, "Manufacturer:          %.*s\n", int(MANUFACTURER_LENGTH),
           reinterpret_cast<const char*>(data));
    status = sendInternalIoctl(&request, CAPI_GET_PROFILE, data, PROFILE_LENGTH, 0);
    if (NT_SUCCESS(status)) {
      controllers = Word(data, 0);
      Append(storage, &length, "Number of Controllers: %d\n", int(controllers));
    }
  }
  QueueBlock(writer, storage->text, true, settings);

  ULONG channels = 0;
  for (ULONG controller = 1; controller <= controllers; ++controller) {
    length = 0;
    channels += DescribeController(&request, storage, &length, controller, maker);
    QueueBlock(writer, storage->text, false, settings);
  }

  length = 0;
  Append(storage, &length,
         "Total Number of BChannels: %d\n"
         "-------------------------------------------------\n",
         int(channels));
  QueueBlock(writer, storage->text, false, settings);
  PoolFree(storage);
}
