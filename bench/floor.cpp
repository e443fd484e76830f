// The floor: the least a process can do to answer with a JPEG of quality 85. It makes a frame in
// memory and encodes it with libjpeg-turbo straight to stdout; no files, no capture, no caption.
// Whatever stillcam costs above this is what its own design costs.
//
//   floor WIDTH HEIGHT     the JPEG alone on stdout
//   floor (as a CGI)       with QUERY_STRING set: the size from the query, as stillcam reads it,
//                          and the response header before the JPEG
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>  // needs FILE and size_t declared first

namespace {

constexpr char kCgiHeader[] = "Content-type: image/jpg\n\n";

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// The picture stillcam's test source takes: a grey band over the top quarter and eight colour bars
// below it, so that the encoder does the same work on both sides of the comparison.
void DrawFrame(std::vector<unsigned char>& rgb, int width, int height) {
  static constexpr unsigned char kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                                {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  static constexpr unsigned char kGrey[3] = {128, 128, 128};
  const int band_rows = height / 4;
  const size_t stride = static_cast<size_t>(width) * 3;
  unsigned char* first_band_row = rgb.data();
  unsigned char* first_bar_row = rgb.data() + band_rows * stride;
  for (int x = 0; x < width; ++x) {
    std::memcpy(first_band_row + x * 3, kGrey, 3);
    std::memcpy(first_bar_row + x * 3, kBars[x * 8 / width], 3);
  }
  for (int y = 1; y < height; ++y) {
    if (y != band_rows) std::memcpy(rgb.data() + y * stride, y < band_rows ? first_band_row : first_bar_row, stride);
  }
}

void SizeFromQuery(const char* query, int& width, int& height) {
  char upper[50] = {};
  for (size_t i = 0; i + 1 < sizeof upper && query[i] != '\0'; ++i)
    upper[i] = (query[i] >= 'a' && query[i] <= 'z') ? static_cast<char>(query[i] - 'a' + 'A') : query[i];
  width = 160;
  height = 120;
  if (std::strstr(upper, "MEDIUM") != nullptr) {
    width = 320;
    height = 240;
  } else if (std::strstr(upper, "LARGE") != nullptr) {
    width = 640;
    height = 480;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int width = 0;
  int height = 0;
  const char* query = std::getenv("QUERY_STRING");
  if (query != nullptr) {
    SizeFromQuery(query, width, height);
  } else if (argc == 3) {
    width = std::atoi(argv[1]);
    height = std::atoi(argv[2]);
  }
  if (width < 8 || height < 2 || width > 8192 || height > 8192) {
    std::fprintf(stderr, "usage: floor WIDTH HEIGHT (8..8192 x 2..8192), or run as a CGI\n");
    return 2;
  }

  std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
  DrawFrame(rgb, width, height);

  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);  // a fatal library error ends the process: acceptable here
  jpeg_create_compress(&cinfo);
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  jpeg_mem_dest(&cinfo, &jpeg, &jpeg_size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const size_t stride = static_cast<size_t>(width) * 3;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = rgb.data() + cinfo.next_scanline * stride;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);

  bool written = (query == nullptr || WriteAll(STDOUT_FILENO, reinterpret_cast<const unsigned char*>(kCgiHeader),
                                               sizeof kCgiHeader - 1)) &&
                 WriteAll(STDOUT_FILENO, jpeg, jpeg_size);
  jpeg_destroy_compress(&cinfo);
  std::free(jpeg);
  return written ? 0 : 1;
}
