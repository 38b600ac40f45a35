#pragma once
// The classes the image codec serves, its own format and vendor identifiers,
// and the platform's identifiers it answers to. Defined here rather than taken
// from uuid.lib, so that every toolchain builds the DLL the same way;
// registration tools and tests take them from here too. IUnknown's and
// IClassFactory's identifiers and SameGuid are the handler's (Guids.h).
#include "Guids.h"

#include <windows.h>

// {2AB092AC-4978-4BA4-B7A6-95EF6F16D7E3}: the WIC bitmap decoder.
inline constexpr GUID CLSID_TimWicDecoder = {
    0x2ab092ac, 0x4978, 0x4ba4, {0xb7, 0xa6, 0x95, 0xef, 0x6f, 0x16, 0xd7, 0xe3}};
#define TIM_DECODER_CLSID_STRING L"{2AB092AC-4978-4BA4-B7A6-95EF6F16D7E3}"

// {A4869093-7584-4A77-A41E-676581D67947}: the property handler.
inline constexpr GUID CLSID_TimPropertyHandler = {
    0xa4869093, 0x7584, 0x4a77, {0xa4, 0x1e, 0x67, 0x65, 0x81, 0xd6, 0x79, 0x47}};
#define TIM_PROPERTY_CLSID_STRING L"{A4869093-7584-4A77-A41E-676581D67947}"

// {C4B5425A-C66D-4C8A-8650-D0E427D81F6B}: the container format WIC reports
// for TIM files.
inline constexpr GUID GUID_ContainerFormatTim = {
    0xc4b5425a, 0xc66d, 0x4c8a, {0x86, 0x50, 0xd0, 0xe4, 0x27, 0xd8, 0x1f, 0x6b}};
#define TIM_CONTAINER_STRING L"{C4B5425A-C66D-4C8A-8650-D0E427D81F6B}"

// {9DF904FD-038B-4CFD-B302-AB6C04D09F3E}: this project as a WIC vendor.
#define TIM_VENDOR_STRING L"{9DF904FD-038B-4CFD-B302-AB6C04D09F3E}"

#define TIM_CODEC_DLL_NAME_64 L"TimImageCodec.dll"
#define TIM_CODEC_DLL_NAME_32 L"TimImageCodec32.dll"
#define TIM_CODEC_DLL_NAME_ARM64 L"TimImageCodecArm64.dll"
#if defined(_M_ARM64) || defined(__aarch64__)
#define TIM_CODEC_DLL_NAME TIM_CODEC_DLL_NAME_ARM64
#elif defined(_WIN64)
#define TIM_CODEC_DLL_NAME TIM_CODEC_DLL_NAME_64
#else
#define TIM_CODEC_DLL_NAME TIM_CODEC_DLL_NAME_32
#endif

namespace codec {

inline constexpr GUID kIidWicBitmapDecoder = {
    0x9edde9e7, 0x8dee, 0x47ea, {0x99, 0xdf, 0xe6, 0xfa, 0xf2, 0xed, 0x44, 0xbf}};
inline constexpr GUID kIidWicBitmapSource = {
    0x00000120, 0xa8f2, 0x4877, {0xba, 0x0a, 0xfd, 0x2b, 0x66, 0x45, 0xfb, 0x94}};
inline constexpr GUID kIidWicBitmapFrameDecode = {
    0x3b16811b, 0x6a43, 0x4ec9, {0xa8, 0x13, 0x3d, 0x93, 0x0c, 0x13, 0xb9, 0x40}};
inline constexpr GUID kIidWicBitmapDecoderInfo = {
    0xd8cd007f, 0xd08f, 0x4191, {0x9b, 0xfc, 0x23, 0x6e, 0xa7, 0xf0, 0xe4, 0xb5}};
inline constexpr GUID kIidWicImagingFactory = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
inline constexpr GUID kClsidWicImagingFactory = {
    0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
inline constexpr GUID kPixelFormat32bppBgra = {
    0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0f}};
inline constexpr GUID kIidInitializeWithStream = {
    0xb824b49d, 0x22ac, 0x4161, {0xac, 0x8a, 0x99, 0x16, 0xe8, 0xfa, 0x3f, 0x7f}};
inline constexpr GUID kIidPropertyStore = {
    0x886d8eeb, 0x8cf2, 0x4446, {0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf, 0x99}};
inline constexpr GUID kIidPropertyStoreCapabilities = {
    0xc8e2d566, 0x186e, 0x4d49, {0xbf, 0x41, 0x69, 0x09, 0xea, 0xd5, 0x6a, 0xcc}};

}  // namespace codec
