#pragma once
// Reads of a mapped file view that survive the medium failing underneath it.
#include <cstddef>

// Calls read(context) and returns true when it returns. Returns false at once
// when a hardware fault on a read of an address in [viewStart, viewStart +
// viewSize) cuts it short: the file's pages could not be brought in (a share
// dropped, a stick pulled, a file cut short while mapped). Any other fault is a
// bug and goes on to the host's own handling, untouched. Nothing inside `read`
// runs after such a fault, so it must hold no resource of its own; it reports
// back through `context`.
extern "C" bool GuardedViewRead(void (*read)(void* context), void* context, const void* viewStart,
                                size_t viewSize);
