#pragma once
// The class this module serves and the interface identifiers it answers to.
// Defined here rather than taken from uuid.lib, which lacks some of them.
#include <windows.h>

#include <cstring>

// {05F9AEDE-6CE7-49FC-A33B-6FD075B39C2D}; registration tools take it from here.
inline constexpr GUID CLSID_TimThumbnailProvider = {
    0x05f9aede, 0x6ce7, 0x49fc, {0xa3, 0x3b, 0x6f, 0xd0, 0x75, 0xb3, 0x9c, 0x2d}};
#define TIM_CLSID_STRING L"{05F9AEDE-6CE7-49FC-A33B-6FD075B39C2D}"

// The three builds' file names. A process loads only a DLL of its own
// processor, so all ship side by side; TIM_DLL_NAME is the one this code's
// processor loads.
#define TIM_DLL_NAME_64 L"TimThumbnailHandler.dll"
#define TIM_DLL_NAME_32 L"TimThumbnailHandler32.dll"
#define TIM_DLL_NAME_ARM64 L"TimThumbnailHandlerArm64.dll"
#if defined(_M_ARM64) || defined(__aarch64__)
#define TIM_DLL_NAME TIM_DLL_NAME_ARM64
#elif defined(_WIN64)
#define TIM_DLL_NAME TIM_DLL_NAME_64
#else
#define TIM_DLL_NAME TIM_DLL_NAME_32
#endif

inline constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidInitializeWithFile = {
    0xb7d14566, 0x0509, 0x4cce, {0xa7, 0x1f, 0x0a, 0x55, 0x42, 0x33, 0xbd, 0x9b}};
inline constexpr GUID kIidThumbnailProvider = {
    0xe357fccd, 0xa995, 0x4576, {0xb0, 0x1f, 0x23, 0x46, 0x30, 0x15, 0x4e, 0x96}};

// Whole 16-byte comparison.
inline bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
