/* The floor: the least a process can do to answer with a JPEG of quality 85. It makes a frame in
 * memory and encodes it with libjpeg-turbo straight to stdout; no files, no capture, no caption.
 * Written in C, so that it pays for no language runtime beyond the C library: whatever stillcam
 * costs above this is what its own design costs.
 *
 *   floor WIDTH HEIGHT     the JPEG alone on stdout
 *   floor (as a CGI)       with QUERY_STRING set: the size from the query, as stillcam reads it,
 *                          and the response header before the JPEG
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* jpeglib.h needs FILE and size_t declared first. */
/* clang-format off */
#include <stdio.h>
#include <jpeglib.h>
/* clang-format on */

static const char kCgiHeader[] = "Content-type: image/jpg\n\n";

static int WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) return 0;
    data += written;
    size -= (size_t)written;
  }
  return 1;
}

/* The picture stillcam's test source takes: a grey band over the top quarter and eight colour bars
 * below it, so that the encoder does the same work on both sides of the comparison. */
static void DrawFrame(unsigned char* rgb, int width, int height) {
  static const unsigned char kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                            {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  static const unsigned char kGrey[3] = {128, 128, 128};
  const int band_rows = height / 4;
  const size_t stride = (size_t)width * 3;
  unsigned char* first_band_row = rgb;
  unsigned char* first_bar_row = rgb + (size_t)band_rows * stride;
  for (int x = 0; x < width; ++x) {
    memcpy(first_band_row + (size_t)x * 3, kGrey, 3);
    memcpy(first_bar_row + (size_t)x * 3, kBars[x * 8 / width], 3);
  }
  for (int y = 1; y < height; ++y) {
    if (y != band_rows)
      memcpy(rgb + (size_t)y * stride, y < band_rows ? first_band_row : first_bar_row, stride);
  }
}

static void SizeFromQuery(const char* query, int* width, int* height) {
  char upper[50] = {0};
  for (size_t i = 0; i + 1 < sizeof upper && query[i] != '\0'; ++i)
    upper[i] = (query[i] >= 'a' && query[i] <= 'z') ? (char)(query[i] - 'a' + 'A') : query[i];
  *width = 160;
  *height = 120;
  if (strstr(upper, "MEDIUM") != NULL) {
    *width = 320;
    *height = 240;
  } else if (strstr(upper, "LARGE") != NULL) {
    *width = 640;
    *height = 480;
  }
}

int main(int argc, char** argv) {
  int width = 0;
  int height = 0;
  const char* query = getenv("QUERY_STRING");
  if (query != NULL) {
    SizeFromQuery(query, &width, &height);
  } else if (argc == 3) {
    width = atoi(argv[1]);
    height = atoi(argv[2]);
  }
  if (width < 8 || height < 2 || width > 8192 || height > 8192) {
    fprintf(stderr, "usage: floor WIDTH HEIGHT (8..8192 x 2..8192), or run as a CGI\n");
    return 2;
  }

  const size_t stride = (size_t)width * 3;
  unsigned char* rgb = malloc(stride * (size_t)height);
  if (rgb == NULL) return 1;
  DrawFrame(rgb, width, height);

  struct jpeg_compress_struct cinfo;
  struct jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr); /* a fatal library error ends the process: acceptable here */
  jpeg_create_compress(&cinfo);
  unsigned char* jpeg = NULL;
  unsigned long jpeg_size = 0;
  jpeg_mem_dest(&cinfo, &jpeg, &jpeg_size);
  cinfo.image_width = (JDIMENSION)width;
  cinfo.image_height = (JDIMENSION)height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = rgb + (size_t)cinfo.next_scanline * stride;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);

  int written =
      (query == NULL || WriteAll(STDOUT_FILENO, (const unsigned char*)kCgiHeader, sizeof kCgiHeader - 1)) &&
      WriteAll(STDOUT_FILENO, jpeg, jpeg_size);
  jpeg_destroy_compress(&cinfo);
  free(jpeg);
  free(rgb);
  return written ? 0 : 1;
}
