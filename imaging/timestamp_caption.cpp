#include "imaging/timestamp_caption.h"

void DrawTimestampCaption(FrameBitmap&, const SnapshotOptions&) {}
