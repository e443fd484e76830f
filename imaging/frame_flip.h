#pragma once

// How the frame is turned before the caption goes on, for a camera mounted mirrored or upside down.
enum class FrameFlip {
  kNone,
  kHorizontal,  // mirrored left to right
  kVertical,    // upside down
  kBoth,        // turned half a circle: a camera hanging from the ceiling
};

class FrameBitmap;

// Turns the frame in place. Upside down costs nothing: the rows are only read in the other order.
// A mirror is one pass over the rows.
void FlipFrame(FrameBitmap& frame, FrameFlip flip);
