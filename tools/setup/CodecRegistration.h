#pragma once
// The image codec's registration: the WIC decoder, the property handler and
// the .tim file type's picture settings. For all users only: WIC and the
// property system read HKLM alone.
#include "Registration.h"

#include <string>
#include <vector>

// Registers `dllPath` (the codec of the 64-bit view's build) and, unless empty,
// `dll32Path` in the 32-bit view. Writes only values that differ; a value
// that held something else (another program's property handler, .tim's
// content type) is remembered for uninstall to put back. .tim's default value
// is never touched.
RegistrationResult InstallCodec(const std::wstring& dllPath, const std::wstring& dll32Path);

// Removes what InstallCodec wrote and the keys it created, in both views,
// putting back what it replaced; values it finds changed by someone else stay.
RegistrationResult UninstallCodec();

// Lines describing the codec's registration for all users.
std::vector<std::wstring> CodecStatus();
