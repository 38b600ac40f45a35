#pragma once
// ImageMagick as a peer: the same TIM file read from memory into RGBA pixels.
#include "BenchData.h"

namespace timbench {

// Held to one thread, as the handler decodes on the caller's thread.
void StartMagick(const char* argv0);
void StopMagick();

// Registers "imagemagick/<format>/<size>" for the case.
void RegisterMagickBenchmark(const Case& c);

}  // namespace timbench
