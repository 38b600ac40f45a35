#pragma once
// The guard value that -fstack-protector code checks on return. Seeded once,
// by DllMain at process attach, before any protected function of the DLL runs.
#include <windows.h>

void SeedStackGuard(HINSTANCE module);
