#pragma once

#include "ndi/NdiApi.h"

// The frame-sync's audio queue depth (samples queued at the source's rate).
// Kestrix's function table leaves this call out, so the benchmarks look it up
// in the runtime library that the table was loaded from. Null when that
// runtime lacks it.
using QueueDepthCall = int (*)(NDIlib_framesync_instance_t);
QueueDepthCall findQueueDepthCall();
