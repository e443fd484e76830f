#pragma once

#include <cstdint>

// What the client asked for; made once from the query string and never changed.
struct SnapshotOptions {
  int32_t frame_width = 160;
  int32_t frame_height = 120;
  bool caption = false;  // "TIMESTAMP" anywhere in the query
  bool bold = false;     // "BOLDTIMESTAMP"; never set without caption
};

// Interprets a query string; nullptr stands for an absent variable.
SnapshotOptions ParseQuery(const char* query);

// Reads QUERY_STRING, the only input that comes from the client.
SnapshotOptions ReadOptions();
