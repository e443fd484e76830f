#include "imaging/jpeg_encoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace {

constexpr int kQuality = 85;
// libjpeg consumes 16 rows at a time with 4:2:0 sampling; handing it that many saves calls.
constexpr int kRowsPerBatch = 16;
// A 640x480 picture usually fits, so that the file gets one write.
constexpr size_t kOutputBlock = 128 * 1024;

// Turns rows of the frame, from the top, into RGB samples.
class RowConverter {
 public:
  explicit RowConverter(const FrameBitmap& frame) : frame_(frame) {
    if (frame.bits_per_pixel <= 8) {
      for (size_t i = 0; i < frame.palette.size(); ++i) {
        uint32_t colour = frame.palette[i];
        palette_rgb_[i] = {static_cast<uint8_t>(colour >> 16), static_cast<uint8_t>(colour >> 8),
                           static_cast<uint8_t>(colour)};
      }
    } else if (frame.bits_per_pixel != 24) {
      uint32_t masks[3] = {frame.red_mask, frame.green_mask, frame.blue_mask};
      for (int c = 0; c < 3; ++c) {
        if (masks[c] == 0) continue;  // a channel the frame does not have stays 0
        auto bits = static_cast<unsigned>(std::popcount(masks[c]));
        unsigned kept = bits < 8 ? bits : 8;
        channels_[c].shift = static_cast<unsigned>(std::countr_zero(masks[c])) + (bits - kept);
        channels_[c].mask = (1u << kept) - 1;
        for (uint32_t v = 0; v <= channels_[c].mask; ++v) channels_[c].widen[v] = WidenChannel(v, kept);
      }
    }
  }

  void Convert(int32_t y, uint8_t* out) const {
    const uint8_t* in = frame_.Row(y);
    auto width = static_cast<size_t>(frame_.width);
    switch (frame_.bits_per_pixel) {
      case 24:
        for (size_t x = 0; x < width; ++x, in += 3, out += 3) {
          out[0] = in[2];
          out[1] = in[1];
          out[2] = in[0];
        }
        break;
      case 16:
        for (size_t x = 0; x < width; ++x, in += 2, out += 3) Masked(uint32_t{in[0]} | (uint32_t{in[1]} << 8), out);
        break;
      case 32:
        for (size_t x = 0; x < width; ++x, in += 4, out += 3) {
          Masked(uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) | (uint32_t{in[3]} << 24), out);
        }
        break;
      default: {
        unsigned bits = frame_.bits_per_pixel;
        unsigned index_mask = (1u << bits) - 1;
        for (size_t x = 0; x < width; ++x, out += 3) {
          size_t bit = x * bits;
          unsigned index = (in[bit / 8] >> (8 - bits - bit % 8)) & index_mask;
          std::memcpy(out, palette_rgb_[index].data(), 3);
        }
      }
    }
  }

 private:
  struct Channel {
    unsigned shift = 0;
    uint32_t mask = 0;
    uint8_t widen[256] = {};
  };

  void Masked(uint32_t pixel, uint8_t* out) const {
    out[0] = channels_[0].widen[(pixel >> channels_[0].shift) & channels_[0].mask];
    out[1] = channels_[1].widen[(pixel >> channels_[1].shift) & channels_[1].mask];
    out[2] = channels_[2].widen[(pixel >> channels_[2].shift) & channels_[2].mask];
  }

  const FrameBitmap& frame_;
  Channel channels_[3];
  std::array<std::array<uint8_t, 3>, 256> palette_rgb_{};
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
  while (size > 0) {
    ssize_t written = write(destination->fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      destination->write_errno = written < 0 ? errno : EIO;
      ERREXIT(info, JERR_FILE_WRITE);
    }
    data += written;
    size -= static_cast<size_t>(written);
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
int Compress(Compression& compression, const RowConverter& rows, int32_t width, int32_t height, uint8_t* row_buffer) {
  jpeg_compress_struct* info = &compression.info;
  if (setjmp(compression.errors.jump) != 0) return compression.errors.base.msg_code;
  jpeg_create_compress(info);
  compression.destination.base.init_destination = StartDestination;
  compression.destination.base.empty_output_buffer = FlushFullBuffer;
  compression.destination.base.term_destination = FlushRest;
  info->dest = &compression.destination.base;

  info->image_width = static_cast<JDIMENSION>(width);
  info->image_height = static_cast<JDIMENSION>(height);
  info->input_components = 3;
  info->in_color_space = JCS_RGB;
  jpeg_set_defaults(info);
  jpeg_set_quality(info, kQuality, TRUE);
  jpeg_start_compress(info, TRUE);

  JSAMPROW batch[kRowsPerBatch];
  size_t row_bytes = static_cast<size_t>(width) * 3;
  for (int i = 0; i < kRowsPerBatch; ++i) batch[i] = row_buffer + static_cast<size_t>(i) * row_bytes;
  while (info->next_scanline < info->image_height) {
    auto first = static_cast<int32_t>(info->next_scanline);
    int32_t count = height - first < kRowsPerBatch ? height - first : kRowsPerBatch;
    for (int32_t i = 0; i < count; ++i) rows.Convert(first + i, batch[i]);
    jpeg_write_scanlines(info, batch, static_cast<JDIMENSION>(count));
  }
  jpeg_finish_compress(info);
  return 0;
}

class OutputFile {
 public:
  explicit OutputFile(const char* path)
      // Not O_TRUNC but a cut to length in Close(): on ext4 a truncated file that is written anew is
      // flushed to disk on close, and the run's unlink then waits for that write (milliseconds).
      : fd_(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    if (fd_ < 0) throw std::runtime_error(std::string("cannot create picture file: ") + std::strerror(errno));
  }
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  int fd() const { return fd_; }

  // Closes and reports what close reports: on some file systems the last write fails only here.
  void Close() {
    off_t length = lseek(fd_, 0, SEEK_CUR);
    if (length < 0 || ftruncate(fd_, length) != 0)
      throw std::runtime_error(std::string("cannot write picture file: ") + std::strerror(errno));
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw std::runtime_error(std::string("cannot write picture file: ") + std::strerror(errno));
  }

 private:
  int fd_;
};

}  // namespace

void EncodeJpegFile(const FrameBitmap& frame, const char* path) {
  OutputFile file(path);
  if (!frame.empty()) {
    RowConverter rows(frame);
    // Wider frames than libjpeg takes fail before the first row, so the buffer never needs more.
    size_t buffered_width = frame.width < JPEG_MAX_DIMENSION ? static_cast<size_t>(frame.width) : JPEG_MAX_DIMENSION;
    std::vector<uint8_t> row_buffer(buffered_width * 3 * kRowsPerBatch);
    std::vector<uint8_t> output(kOutputBlock);
    Compression compression;
    compression.destination.fd = file.fd();
    compression.destination.buffer = output.data();
    compression.destination.buffer_size = output.size();
    int failure = Compress(compression, rows, frame.width, frame.height, row_buffer.data());
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
  file.Close();
}
