#include "capture/frame_grab.h"

bool FrameGrab::Open(const SnapshotOptions&) { return false; }
bool FrameGrab::TakeFrame(const SnapshotOptions&, const char*) { return false; }
void FrameGrab::Close() {}
