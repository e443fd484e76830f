#pragma once

#include <cstdint>
#include <vector>

// Frames as webcams send them, for the loopback producer and the decoder's tests.
using Bytes = std::vector<uint8_t>;

// Four quadrants of different colours, so that a picture mirrored, upside down or with red and blue
// swapped shows it in at least one quadrant. 0xRRGGBB, away from the extremes so that no channel
// clips in a YUV round trip.
enum Quadrant { kTopLeft, kTopRight, kBottomLeft, kBottomRight };
constexpr uint32_t kQuadrantColours[] = {
    0xD02828,  // top left: red
    0x28C040,  // top right: green
    0x3040D0,  // bottom left: blue
    0xE0D030,  // bottom right: yellow
};

// The quadrant frame as RGB rows from the top.
Bytes QuadrantRgb(int width, int height);

// YUYV with BT.601 studio swing, as cameras send it.
Bytes Yuyv(const Bytes& rgb);

// A baseline JPEG with the chroma halved horizontally only and no JFIF marker: an MJPEG frame as UVC
// cameras send it.
Bytes WebcamJpeg(const Bytes& rgb, int width, int height);

// The same JPEG without its DHT segments, as many UVC cameras send it: the decoder must take the
// standard tables.
Bytes WithoutHuffmanTables(const Bytes& jpeg);
