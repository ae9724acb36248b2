#include "control/DriverIdentity.h"

const char kDriverIdentity[] =
    PELLINOR_DRIVER_NAME " v" PELLINOR_VERSION "  Build Date " __TIME__ " " __DATE__;
static_assert(sizeof(kDriverIdentity) == DRIVER_IDENTITY_LENGTH + 1, "the identity's length");
