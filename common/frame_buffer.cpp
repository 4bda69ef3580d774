#include "common/frame_buffer.h"

FrameBuffer frame_buffer;
