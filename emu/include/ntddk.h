// <ntddk.h> of the emulated NT kernel: the declarations the driver sees in
// the host build. Names, types and i386 layouts are those of the DDK; the
// pieces live in nt/, one per kernel component.
#pragma once

#include "nt/base.h"
#include "nt/status.h"
#include "nt/ke.h"
#include "nt/io.h"
#include "nt/se.h"
