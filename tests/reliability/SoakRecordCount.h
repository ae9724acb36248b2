// How many trace records the driver handed to its log writer, counted where
// every record passes: LogWriter::Submit, the one door of the request paths,
// the target query and the text blocks into the writer's queue. The test
// binary is linked with --wrap for that function, so each call is counted
// and then goes on to the driver's own code unchanged.
//
// Counting the calls themselves is exact where the other witnesses are not:
// a pool allocation of the record's size can be any other block of that
// size, and a request seen below the filter may or may not have been
// captured, depending on an instant of tracing being switched on or off
// that no observer outside the driver can see.
#pragma once

#include <cstdint>

namespace reliability {

struct SubmittedRecords {
  uint64_t text = 0;        // banner, target query, start and stop blocks
  uint64_t request = 0;     // a request on its way down
  uint64_t completion = 0;  // its completion on the way up
  uint64_t lost = 0;        // a capture whose record could not be allocated
};

// The counts since the last reset.
SubmittedRecords SubmittedRecordCounts();
void ResetSubmittedRecordCounts();

}  // namespace reliability
