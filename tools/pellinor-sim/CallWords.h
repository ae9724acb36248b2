// The words of an application's call in a scenario, and of what a call
// step prints: shared by pellinor-sim and the Wine job's capiapp.exe, so
// that both read `app NAME call ...` alike and print the same line for it.
#pragma once

#include <cstdint>
#include <string>

#include "sim/CapiApplication.h"
#include "tools/pellinor-sim/ScenarioScript.h"

namespace pellinorsim {

// A controller number, 1 to 8 (BadWord otherwise).
uint32_t ParseController(const std::string& word);
// A number that fits 16 bits (BadWord otherwise), named `what` in the error.
uint16_t ParseWord16(const std::string& word, const char* what);
// The options of `call`: incoming, controller C, blocks N, size N.
sim::CallOptions TakeCallOptions(Words& words);
// "0x00000000 STATUS_SUCCESS, information 4".
std::string ResultText(const sim::RequestResult& result);
// What a call step prints after "app NAME call: ": "ok, PLCI ..., NCCI ...,
// N blocks echoed" or "failed: " and DescribeFailure.
std::string CallOutcome(const sim::CallReport& report);
// Why a call failed: the step, the request's status or the confirmation's
// Info value in words, and the limit the application went past ("DATA_B3_REQ
// 1: DATA_B3_CONF Info 0x300C (data length not supported by the current
// protocol): the block's 5000 bytes exceed the maxBDataLength of 2048 it
// registered").
std::string DescribeFailure(const sim::CallReport& report);

}  // namespace pellinorsim
