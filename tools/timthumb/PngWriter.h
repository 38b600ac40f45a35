#pragma once
// Writes 32-bit straight-alpha BGRA pixels, rows top-down, as a PNG file
// through the Windows Imaging Component. COM must be initialised.
#include <windows.h>

#include <cstdint>
#include <string>

// The file is written under a new temporary name in the same folder and moved
// into place only when complete, so a failure never leaves half a PNG or
// destroys an existing file. Returns S_OK or the failing call's HRESULT.
HRESULT WritePng(const std::wstring& path, const uint32_t* pixels, UINT width, UINT height);
