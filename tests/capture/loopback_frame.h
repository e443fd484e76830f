#pragma once

#include <cstdint>

// The frame the loopback producer sends: four quadrants of different colours, so that a picture
// mirrored, upside down or with red and blue swapped shows it in at least one quadrant.
constexpr int kLoopbackWidth = 640;
constexpr int kLoopbackHeight = 480;

enum LoopbackQuadrant { kTopLeft, kTopRight, kBottomLeft, kBottomRight };

// 0xRRGGBB, away from the extremes so that no channel clips in the YUV round trip.
constexpr uint32_t kLoopbackColours[] = {
    0xD02828,  // top left: red
    0x28C040,  // top right: green
    0x3040D0,  // bottom left: blue
    0xE0D030,  // bottom right: yellow
};

constexpr uint32_t LoopbackQuadrantColour(int x, int y) {
  const int quadrant = (y >= kLoopbackHeight / 2 ? 2 : 0) + (x >= kLoopbackWidth / 2 ? 1 : 0);
  return kLoopbackColours[quadrant];
}
