// The largest frame that the two programs take, one value for both: every
// Matroska frame, MP4 sample and unit that Ostrel indexes must fit the
// buffers through which Pemmick decodes it, and Ostrel refuses what does not
// fit its own. Ostrel's read and unit buffers and Pemmick's read and unit
// buffers are this size; a frame fits when it does in start-code form with
// the 00 00 01 that follows it.
#pragma once

#include <cstdint>

constexpr uint32_t FRAME_BUFFER_SIZE = 10000000;
