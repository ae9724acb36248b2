// Object references: device objects, which the I/O manager builds, take
// pointer references like any object, and such a reference keeps a deleted
// device object until it goes.
#include <gtest/gtest.h>

#include "IoTestDriver.h"
#include "emu/Kernel.h"

namespace {

using iotest::TestDriver;

class ObjectReferences : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    emu::Kernel::Shutdown();
  }
};

TEST_F(ObjectReferences, AReferenceKeepsADeletedDeviceObject) {
  TestDriver driver("ObjRefKeep");
  PDEVICE_OBJECT device =
      driver.CreateDevice(u"ObjRefKeep", 0, iotest::CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(ObReferenceObject(device), 1);
  EXPECT_EQ(ObReferenceObject(device), 2);
  EXPECT_EQ(ObDereferenceObject(device), 1);
  driver.DeleteDevice(device);
  // Still a device object, though deleted: its fields may be read.
  EXPECT_EQ(static_cast<volatile CSHORT&>(device->Type), IO_TYPE_DEVICE);
  EXPECT_EQ(ObDereferenceObject(device), 0);
  // Freed with the last reference.
  EXPECT_DEATH(ObReferenceObject(device),
               "BUG CHECK 0x00000018: REFERENCE_BY_POINTER: ObReferenceObject of .* not a live "
               "object");
}

TEST_F(ObjectReferences, ReferencesDoNotMixWithOpens) {
  TestDriver driver("ObjRefOpen");
  PDEVICE_OBJECT device =
      driver.CreateDevice(u"ObjRefOpen", 0, iotest::CompleteWith(STATUS_SUCCESS));
  HANDLE file = nullptr;
  ASSERT_EQ(emu::Open(u"\\Device\\ObjRefOpen", KernelMode, &file), STATUS_SUCCESS);
  // The open holds the device, not a pointer reference: taking one away
  // more than was given is caught.
  EXPECT_DEATH(ObDereferenceObject(device),
               "BUG CHECK 0x00000018: REFERENCE_BY_POINTER: ObDereferenceObject of device object "
               ".*\\(dereferenced more often than referenced\\)");
  ObReferenceObject(device);
  EXPECT_EQ(emu::Close(file), STATUS_SUCCESS);
  EXPECT_EQ(ObDereferenceObject(device), 0);
}

}  // namespace
