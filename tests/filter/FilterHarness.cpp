#include "tests/filter/FilterHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "emu/Clock.h"
#include "emu/Registry.h"
#include "emu/Timers.h"

#include "framework/EntryPoints.h"
#include "framework/Pool.h"
#include "framework/TraceDriver.h"
#include "trace/CapiIoctl.h"

namespace filtertest {

LowerCapi::LowerCapi(LowerConfig config, const std::u16string& name)
    : config_(std::move(config)), driver_("FilterTestCapi") {
  device_ = driver_.CreateDevice(name, DO_BUFFERED_IO,
                                 [this](PDEVICE_OBJECT, PIRP irp) { return Handle(irp); });
}

LowerCapi::~LowerCapi() {
  ReleaseHeld();
}

void LowerCapi::SetCompletion(UCHAR major, Completion how) {
  std::lock_guard<std::mutex> lock(mutex_);
  completion_[major] = how;
}

void LowerCapi::FailKernelOpens(NTSTATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  kernelOpenStatus_ = status;
}

void LowerCapi::SetDefaultMessage(std::vector<uint8_t> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultMessage_ = std::move(message);
}

void LowerCapi::QueueMessage(std::vector<uint8_t> message, std::vector<uint8_t> payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.emplace_back(std::move(message), std::move(payload));
}

void LowerCapi::WaitHeld(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return held_.size() >= count; });
}

void LowerCapi::ReleaseHeld(bool fromDpc) {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (PIRP irp : held) {
    if (fromDpc)
      emu::CompleteFromDpc(irp);
    else
      IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

std::vector<Seen> LowerCapi::SeenRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

Seen LowerCapi::Last(UCHAR major) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = seen_.rbegin(); it != seen_.rend(); ++it) {
    if (it->major == major)
      return *it;
  }
  ADD_FAILURE() << "no request of major function " << int(major) << " reached the CAPI device";
  return Seen{};
}

size_t LowerCapi::Count(UCHAR major) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const Seen& seen : seen_) count += seen.major == major;
  return count;
}

NTSTATUS LowerCapi::Handle(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Seen seen;
  seen.irp = irp;
  seen.major = stack->MajorFunction;
  seen.minor = stack->MinorFunction;
  seen.mode = irp->RequestorMode;
  seen.parameter1 = stack->Parameters.DeviceIoControl.OutputBufferLength;
  seen.parameter2 = stack->Parameters.DeviceIoControl.InputBufferLength;
  seen.parameter3 = stack->Parameters.DeviceIoControl.IoControlCode;
  seen.parameter4 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  seen.file = stack->FileObject;
  seen.watched = stack->CompletionRoutine != nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  Answer(irp, stack, &status, &information);
  seen.status = status;
  seen.information = information;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  if (seen.major == IRP_MJ_POWER)
    PoStartNextPowerIrp(irp);

  Completion how = Completion::kAtOnce;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(seen);
    auto found = completion_.find(seen.major);
    if (found != completion_.end())
      how = found->second;
    if (how == Completion::kHold) {
      IoMarkIrpPending(irp);
      held_.push_back(irp);
      changed_.notify_all();
      return STATUS_PENDING;
    }
  }
  if (how == Completion::kFromDpc) {
    IoMarkIrpPending(irp);
    emu::CompleteFromDpc(irp);
    return STATUS_PENDING;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void LowerCapi::Answer(PIRP irp, PIO_STACK_LOCATION stack, NTSTATUS* status,
                       ULONG_PTR* information) {
  auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      if (irp->RequestorMode == KernelMode) {
        std::lock_guard<std::mutex> lock(mutex_);
        *status = kernelOpenStatus_;
      }
      return;
    case IRP_MJ_WRITE:
      *information = stack->Parameters.Write.Length;
      return;
    case IRP_MJ_READ: {
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<uint8_t> message = defaultMessage_;
      if (!messages_.empty()) {
        message = messages_.front().first;
        messages_.pop_front();
      }
      ULONG n = std::min<ULONG>(ULONG(message.size()), stack->Parameters.Read.Length);
      if (n != 0)  // no message: data() may be null
        memcpy(system, message.data(), n);
      *information = n;
      return;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      if (code != CAPI_GET_MESSAGE)
        return;
      auto* block = static_cast<CAPI_PARAMETER_BLOCK*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      std::lock_guard<std::mutex> lock(mutex_);
      if (block == nullptr)
        return;
      if (messages_.empty()) {
        if (defaultMessage_.empty())
          return;
        messages_.emplace_back(defaultMessage_, std::vector<uint8_t>());
      }
      auto& next = messages_.front();
      memcpy(reinterpret_cast<void*>(block->message), next.first.data(), next.first.size());
      if (!next.second.empty() && block->b3Data != 0)
        memcpy(reinterpret_cast<void*>(block->b3Data), next.second.data(), next.second.size());
      *information = next.first.size();
      messages_.pop_front();
      return;
    }
    case IRP_MJ_DEVICE_CONTROL: {
      ULONG controller = 0;
      if (input >= 4 && system != nullptr)
        memcpy(&controller, system, 4);
      *status = Information(code, controller, system, output, information);
      return;
    }
    default:
      return;
  }
}

NTSTATUS LowerCapi::Information(ULONG code, ULONG controller, uint8_t* buffer, ULONG output,
                                ULONG_PTR* information) {
  if (code == config_.failCode && controller == config_.failController &&
      !NT_SUCCESS(config_.failStatus)) {
    return config_.failStatus;
  }
  auto put16 = [&](ULONG offset, uint16_t value) {
    buffer[offset] = uint8_t(value);
    buffer[offset + 1] = uint8_t(value >> 8);
  };
  const ControllerConfig* unit = nullptr;
  if (controller >= 1 && controller <= config_.controllers.size())
    unit = &config_.controllers[controller - 1];
  switch (code) {
    case CAPI_GET_MANUFACTURER: {
      ULONG n = std::min<ULONG>(output, 64);
      memset(buffer, 0, n);
      memcpy(buffer, config_.manufacturer.data(), std::min<size_t>(n, config_.manufacturer.size()));
      *information = n;
      return STATUS_SUCCESS;
    }
    case CAPI_GET_SERIAL: {
      if (unit == nullptr)
        return STATUS_INVALID_PARAMETER;
      ULONG n = std::min<ULONG>(output, 8);
      memset(buffer, 0, n);
      memcpy(buffer, unit->serial.data(), std::min<size_t>(n, unit->serial.size()));
      *information = n;
      return STATUS_SUCCESS;
    }
    case CAPI_GET_VERSION:
      if (unit == nullptr || output < 8)
        return STATUS_INVALID_PARAMETER;
      put16(0, unit->capiMajor);
      put16(2, unit->capiMinor);
      put16(4, unit->manufacturerMajor);
      put16(6, unit->manufacturerMinor);
      *information = 8;
      return STATUS_SUCCESS;
    case CAPI_GET_PROFILE:
      if (output < 64)
        return STATUS_BUFFER_TOO_SMALL;
      memset(buffer, 0, 64);
      put16(0, uint16_t(config_.controllers.size()));
      if (controller != 0) {
        if (unit == nullptr)
          return STATUS_INVALID_PARAMETER;
        put16(2, unit->bChannels);
        for (ULONG i = 4; i < 64; ++i) buffer[i] = uint8_t(i * 7 + controller);
      }
      *information = 64;
      return STATUS_SUCCESS;
    case CAPI_REGISTER:
      if (output < 4)
        return STATUS_BUFFER_TOO_SMALL;
      put16(0, 1);
      put16(2, 0);
      *information = 4;
      return STATUS_SUCCESS;
    default:
      return STATUS_SUCCESS;
  }
}

void ExpectPassedThrough(const emu::IoResult& result, const Seen& seen, UCHAR major,
                         ULONG parameter1, ULONG parameter2, ULONG parameter3) {
  EXPECT_EQ(seen.major, major);
  EXPECT_EQ(seen.parameter1, parameter1);
  EXPECT_EQ(seen.parameter2, parameter2);
  EXPECT_EQ(seen.parameter3, parameter3);
  EXPECT_EQ(result.status, seen.status);
  EXPECT_EQ(result.information, seen.information);
}

const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Pellinor";

void SetStart(uint32_t start) {
  emu::Registry::SetDword(kServiceKey, u"Start", start);
}
NTSTATUS SendControl(ULONG code) {
  HANDLE control = nullptr;
  NTSTATUS status = emu::Open("\\\\.\\PellinorWin32CTL", UserMode, &control);
  if (!NT_SUCCESS(status))
    return status;
  status = emu::DeviceIoControl(control, code, nullptr, 0, nullptr, 0).status;
  emu::Close(control);
  return status;
}

void SetFlags(uint32_t flags) {
  emu::Registry::SetDword(kServiceKey, u"Pellinor_Flags", flags);
}
void SetB3Bytes(uint32_t bytes) {
  emu::Registry::SetDword(kServiceKey, u"Pellinor_B3Bytes", bytes);
}
void SetTarget(const std::u16string& target) {
  emu::Registry::SetString(kServiceKey, u"Pellinor_Target", target);
}
void SetLog(const std::u16string& log) {
  emu::Registry::SetString(kServiceKey, u"Pellinor_Log", log);
}

TracedSystem::TracedSystem() {
  emu::Registry::Clear();
  emu::Clock::Fix(tracetest::GoldenTime());
  SetStart(3);
  SetLog(u"C:\\pellinor.log");
}

TracedSystem::~TracedSystem() {
  Unload();
  emu::Registry::Clear();
  emu::Clock::Release();
}

NTSTATUS TracedSystem::Load() {
  return emu::LoadDriver("Pellinor", DriverEntry, POOL_TAG, &driver_);
}

NTSTATUS TracedSystem::LoadImage(const std::string& path, std::string* message) {
  NTSTATUS status = emu::Image::MapFile(path, &image_, message);
  if (!NT_SUCCESS(status))
    return status;
  status = emu::LoadDriver("Pellinor", image_->Entry(), POOL_TAG, &driver_);
  // A driver whose entry point failed is gone: its image may go too.
  if (!NT_SUCCESS(status))
    image_.reset();
  return status;
}

void TracedSystem::Unload() {
  if (driver_ != nullptr)
    EXPECT_EQ(emu::UnloadDriver(driver_), STATUS_SUCCESS);
  driver_ = nullptr;
  // Only once its driver has unloaded may an image be unmapped.
  image_.reset();
}

TraceDriver* TracedSystem::Driver() {
  return image_ != nullptr ? nullptr : static_cast<TraceDriver*>(theDriver);
}

std::string TracedSystem::Log(const std::string& name) {
  std::string text = tracetest::NormaliseAddresses(drive_.Read(name));
  // Message and payload pointers of kernel-mode callers lie in memory that
  // the host's allocator hands out as it pleases: only null is kept.
  text = std::regex_replace(text, std::regex("(Pointer: +0x)ADDR\\d+"), "$1(address)");
  return std::regex_replace(text, std::regex("Build Date [0-9:]+ [A-Z][a-z][a-z] [ 0-9]\\d \\d{4}"),
                            "Build Date (build date)");
}

std::string Golden(const std::string& name, const std::string& actual) {
  std::string path = std::string(PELLINOR_SOURCE_DIR) + "/tests/data/filter/" + name;
  const char* update = std::getenv("PELLINOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream out(path, std::ios::binary);
    out << actual;
    return actual;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<uint8_t> Message(const std::string& hex) {
  return tracetest::Hex(hex);
}

}  // namespace filtertest
