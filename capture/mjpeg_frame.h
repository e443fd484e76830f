#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One frame of a Motion-JPEG stream, as webcams send it. Cameras on a busy USB bus deliver frames cut
// short or with lost packets, often without flagging the buffer, and libjpeg would only warn and fill
// the rest with grey. Here every warning counts: such a frame is refused, so the caller can take the
// next one. Frames without Huffman tables (most UVC cameras leave them out) use the standard ones.
//
// Decodes data[0, size) into 24-bit blue-green-red rows from the top into rows. False with why set
// when the frame is damaged or is not width x height. reduction 2, 4 or 8 decodes at that fraction of
// the size (libjpeg scales while decoding, for less work), rows then width / reduction * 3 bytes each.
bool DecodeMjpegFrame(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                      std::vector<uint8_t>& rows, std::string& why, unsigned reduction = 1);
