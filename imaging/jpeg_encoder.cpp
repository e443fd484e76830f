#include "imaging/jpeg_encoder.h"

#include <jerror.h>
#include <jpeglib.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/rewritten_file.h"

namespace {

constexpr int kQuality = 85;
// libjpeg consumes 16 rows at a time with 4:2:0 sampling; handing it that many saves calls.
constexpr int kRowsPerBatch = 16;
// A 640x480 picture usually fits, so that the file gets one write; below malloc's mmap threshold,
// so that the buffer costs no mapping.
constexpr size_t kOutputBlock = size_t{64} * 1024;

// How the frame's rows reach libjpeg. libjpeg-turbo reads 24-bit and 8-bit-per-channel 32-bit rows
// as they are (its extended colour spaces), which saves a copy of every row; other layouts are
// converted to 8-bit red, green, blue and a filler byte. The JPEG is the same as from JCS_RGB rows:
// the colour conversion is the library's either way.
class RowSource {
 public:
  // used_up: the frame is not needed after the encoding, so encoded rows may be forgotten.
  RowSource(const FrameBitmap& frame, FrameBitmap* used_up) : frame_(frame), used_up_(used_up) {
    const PixelFormat& format = frame.format();
    if (format.bits_per_pixel() == 24 && DirectLayout(format, kLayouts24)) return;
    if (format.bits_per_pixel() == 32 && DirectLayout(format, kLayouts32)) return;
    converter_.emplace(format);
  }

  J_COLOR_SPACE colour_space() const { return colour_space_; }
  int components() const { return components_; }
  bool converts() const { return converter_.has_value(); }

  // Row y from the top as libjpeg reads it: the frame's own row, or its conversion into scratch
  // (width * 4 bytes).
  JSAMPROW Row(int32_t y, uint8_t* scratch) const {
    const uint8_t* in = frame_.Row(y);
    if (!converter_) return const_cast<JSAMPROW>(in);  // libjpeg only reads input rows
    converter_->Convert(in, scratch, static_cast<size_t>(frame_.width()));
    return scratch;
  }

  // libjpeg has taken rows 0 to encoded - 1 into its own buffers. A frame that is used up gives
  // back their memory in steps of 64 KB (fewer calls than pages), so that a large frame mapped from
  // its file is never all in memory at once.
  void Encoded(int32_t encoded) {
    constexpr size_t kStep = size_t{64} * 1024;
    if (used_up_ == nullptr || static_cast<size_t>(encoded - forgotten_) * frame_.stride() < kStep) return;
    used_up_->ForgetRowsAbove(encoded);
    forgotten_ = encoded;
  }

 private:
  // Pixels with one whole byte per channel, in an order libjpeg-turbo reads.
  struct Layout {
    uint32_t red, green, blue;
    J_COLOR_SPACE space;
  };
  static constexpr Layout kLayouts24[] = {{0x00FF0000, 0x0000FF00, 0x000000FF, JCS_EXT_BGR},
                                          {0x000000FF, 0x0000FF00, 0x00FF0000, JCS_EXT_RGB}};
  static constexpr Layout kLayouts32[] = {{0x00FF0000, 0x0000FF00, 0x000000FF, JCS_EXT_BGRX},
                                          {0x000000FF, 0x0000FF00, 0x00FF0000, JCS_EXT_RGBX},
                                          {0x0000FF00, 0x00FF0000, 0xFF000000, JCS_EXT_XRGB},
                                          {0xFF000000, 0x00FF0000, 0x0000FF00, JCS_EXT_XBGR}};

  template <size_t N>
  bool DirectLayout(const PixelFormat& format, const Layout (&layouts)[N]) {
    for (const Layout& layout : layouts) {
      if (format.red_mask() == layout.red && format.green_mask() == layout.green &&
          format.blue_mask() == layout.blue) {
        colour_space_ = layout.space;
        components_ = format.bits_per_pixel() / 8;
        return true;
      }
    }
    return false;
  }

  const FrameBitmap& frame_;
  FrameBitmap* used_up_;
  int32_t forgotten_ = 0;
  J_COLOR_SPACE colour_space_ = JCS_EXT_RGBX;
  int components_ = 4;
  std::optional<RgbxRowConverter> converter_;
};

// The state libjpeg's callbacks reach through the compression object; plain data, so that a
// longjmp out of the library skips nothing that needs destroying.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

struct FileDestination {
  jpeg_destination_mgr base;
  int fd;
  uint8_t* buffer;
  size_t buffer_size;
  int write_errno;  // set when a write failed; the error then ends the compression
};

void OnFatalError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
void OnMessage(j_common_ptr, int) {}
void OnOutputMessage(j_common_ptr) {}

// Writes all of data; on failure keeps errno and ends the compression through the error manager.
void WriteOrFail(j_compress_ptr info, const uint8_t* data, size_t size) {
  auto* destination = reinterpret_cast<FileDestination*>(info->dest);
  if (!WriteAllBytes(destination->fd, data, size)) {
    destination->write_errno = errno;
    ERREXIT(info, JERR_FILE_WRITE);
  }
}

void StartDestination(j_compress_ptr info) {
  auto* destination = reinterpret_cast<FileDestination*>(info->dest);
  destination->base.next_output_byte = destination->buffer;
  destination->base.free_in_buffer = destination->buffer_size;
}

boolean FlushFullBuffer(j_compress_ptr info) {
  auto* destination = reinterpret_cast<FileDestination*>(info->dest);
  WriteOrFail(info, destination->buffer, destination->buffer_size);
  StartDestination(info);
  return TRUE;
}

void FlushRest(j_compress_ptr info) {
  auto* destination = reinterpret_cast<FileDestination*>(info->dest);
  WriteOrFail(info, destination->buffer, destination->buffer_size - destination->base.free_in_buffer);
}

// Owns the compression object, so that it is destroyed on every path.
struct Compression {
  jpeg_compress_struct info{};
  ErrorManager errors{};
  FileDestination destination{};

  Compression() {
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnFatalError;
    errors.base.emit_message = OnMessage;
    errors.base.output_message = OnOutputMessage;
  }
  ~Compression() { jpeg_destroy_compress(&info); }
  Compression(const Compression&) = delete;
  Compression& operator=(const Compression&) = delete;
};

// The whole libjpeg conversation. Returns 0, or libjpeg's message number after a fatal error.
// Nothing with a destructor lives in this frame, so a longjmp back to it is safe.
int Compress(Compression& compression, RowSource& rows, int32_t width, int32_t height, uint8_t* scratch) {
  jpeg_compress_struct* info = &compression.info;
  if (setjmp(compression.errors.jump) != 0) return compression.errors.base.msg_code;
  jpeg_create_compress(info);
  compression.destination.base.init_destination = StartDestination;
  compression.destination.base.empty_output_buffer = FlushFullBuffer;
  compression.destination.base.term_destination = FlushRest;
  info->dest = &compression.destination.base;

  info->image_width = static_cast<JDIMENSION>(width);
  info->image_height = static_cast<JDIMENSION>(height);
  info->input_components = rows.components();
  info->in_color_space = rows.colour_space();
  jpeg_set_defaults(info);
  jpeg_set_quality(info, kQuality, TRUE);
  jpeg_start_compress(info, TRUE);

  JSAMPROW batch[kRowsPerBatch];
  size_t row_bytes = static_cast<size_t>(width) * 4;
  while (info->next_scanline < info->image_height) {
    auto first = static_cast<int32_t>(info->next_scanline);
    int32_t count = height - first < kRowsPerBatch ? height - first : kRowsPerBatch;
    for (int32_t i = 0; i < count; ++i) {
      // Rows that need no conversion have no scratch at all: no offset from a null pointer.
      uint8_t* row_scratch = scratch != nullptr ? scratch + static_cast<size_t>(i) * row_bytes : nullptr;
      batch[i] = rows.Row(first + i, row_scratch);
    }
    jpeg_write_scanlines(info, batch, static_cast<JDIMENSION>(count));
    rows.Encoded(static_cast<int32_t>(info->next_scanline));
  }
  jpeg_finish_compress(info);
  return 0;
}

}  // namespace

namespace {

void Encode(const FrameBitmap& frame, FrameBitmap* used_up, const char* path) {
  RewrittenFile file(path);
  if (file.fd() < 0)
    throw std::runtime_error(std::string("cannot create picture file: ") + std::strerror(errno));
  if (!frame.empty()) {
    RowSource rows(frame, used_up);
    // Wider frames than libjpeg takes fail before the first row, so the buffer never needs more.
    size_t buffered_width =
        frame.width() < JPEG_MAX_DIMENSION ? static_cast<size_t>(frame.width()) : JPEG_MAX_DIMENSION;
    PixelBuffer scratch(rows.converts() ? buffered_width * 4 * kRowsPerBatch : 0);
    PixelBuffer output(kOutputBlock);
    Compression compression;
    compression.destination.fd = file.fd();
    compression.destination.buffer = output.data();
    compression.destination.buffer_size = output.size();
    int failure = Compress(compression, rows, frame.width(), frame.height(), scratch.data());
    if (compression.destination.write_errno != 0) {
      throw std::runtime_error(std::string("cannot write picture file: ") +
                               std::strerror(compression.destination.write_errno));
    }
    if (failure != 0) {
      char message[32];
      std::snprintf(message, sizeof message, "JPEG error #%d", failure);
      throw std::runtime_error(message);
    }
  }
  if (!file.Finish())
    throw std::runtime_error(std::string("cannot write picture file: ") + std::strerror(errno));
}

}  // namespace

void EncodeJpegFile(const FrameBitmap& frame, const char* path) { Encode(frame, nullptr, path); }

void EncodeJpegFile(FrameBitmap&& frame, const char* path) {
  FrameBitmap used_up = std::move(frame);  // released as soon as the picture file is written
  Encode(used_up, &used_up, path);
}
