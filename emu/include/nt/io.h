// I/O manager, power manager, memory manager and file services of the
// emulated NT kernel. i386 layouts.
#pragma once
