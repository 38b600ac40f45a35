#pragma once
// What TimThumbnailSetup writes, removes and reports, for one registry scope.
#include "CodecGuids.h"
#include "Guids.h"
#include "RegistrationEngine.h"

#include <windows.h>

#include <string>
#include <vector>

enum class Scope { User, Machine };

// The two builds of the handler, each with the image codec built for the same
// processor. A process reads the classes from the registry view of its own
// bitness; the .tim entries are shared by both views.
struct HandlerBuild {
    const wchar_t* dllName;
    const wchar_t* codecDllName;
    REGSAM view;
    const wchar_t* viewName;  // said after the keys of the 32-bit view only
};
inline constexpr HandlerBuild kBuild64 = {TIM_DLL_NAME_64, TIM_CODEC_DLL_NAME_64, KEY_WOW64_64KEY, L""};
inline constexpr HandlerBuild kBuild32 = {TIM_DLL_NAME_32, TIM_CODEC_DLL_NAME_32, KEY_WOW64_32KEY, L" (32-bit view)"};
inline constexpr const HandlerBuild* kBuilds[] = {&kBuild64, &kBuild32};

// ARM64 Windows: Explorer and every native program there are ARM64
// processes, which load only ARM64 DLLs, so the ARM64 build takes the 64-bit
// view. x64 programs, emulated there, read that same view and so find a DLL
// they cannot load: their dialogs keep plain icons. x86 programs run under
// WOW64 as on x64 Windows and read the 32-bit view, which keeps the x86 DLL.
inline constexpr HandlerBuild kBuildArm64 = {TIM_DLL_NAME_ARM64, TIM_CODEC_DLL_NAME_ARM64, KEY_WOW64_64KEY, L""};

// The build (handler and codec) registered in the 64-bit view on a system whose processor is
// `nativeMachine` (an IMAGE_FILE_MACHINE_ value, as IsWow64Process2 gives it).
constexpr const HandlerBuild& Build64For(USHORT nativeMachine) {
    return nativeMachine == IMAGE_FILE_MACHINE_ARM64 ? kBuildArm64 : kBuild64;
}

// The system's own processor, from IsWow64Process2; x64 where Windows is
// older than that function (Windows 10 1709), which no ARM64 Windows is.
USHORT NativeMachine();

// "HKCU\Software\Classes" or "HKLM\Software\Classes".
std::wstring ScopeRoot(Scope scope);

// Registers `dllPath` (a full path to the 64-bit DLL) as the class and as
// the .tim thumbnail handler, and `dll32Path`, unless empty, as the same class
// in the 32-bit view. Writes only values that differ from what is there, so
// running it again changes nothing. A thumbnail handler entry naming another
// class is replaced and remembered under the class key, for uninstall to put
// back.
RegistrationResult Install(Scope scope, const std::wstring& dllPath, const std::wstring& dll32Path);

// Removes what Install wrote: the class in both views and every handler
// entry that still names it (putting back an entry it had replaced). Entries
// naming another class, and every other key or value, stay; keys left holding
// nothing are deleted. Nothing registered: succeeds with no changes.
RegistrationResult Uninstall(Scope scope);

// Lines describing what is registered in this scope, in both views, and
// whether the registered DLLs exist.
std::vector<std::wstring> Status(Scope scope, LSTATUS& status);
