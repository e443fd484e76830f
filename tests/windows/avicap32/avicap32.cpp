// A stand-in for the system's avicap32.dll, for testing the capture protocol under Wine, whose own
// AVICAP32 cannot capture. It answers the capture window messages a snapshot sends, writes a generated
// frame as a BMP file, and records every call it gets, one line each, so that a test can compare the
// whole conversation with what it expects. Driven by environment variables:
//   AVICAP_STANDIN_LOG      file that the call lines are appended to (none: not recorded)
//   AVICAP_STANDIN_FAIL     a step that fails: create, connect, format, grab or save
//   AVICAP_STANDIN_DRIVERS  number of drivers listed and connectable (default 1)
//   AVICAP_STANDIN_DELIVER  WxHxBITS: frames of this format whatever was asked (a driver that ignores
//                           the format request)
// vfw.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <vfw.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kClassName[] = "AvicapStandinWindow";

std::string Setting(const char* name) {
  char value[512] = {};
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

bool Fails(const char* step) { return Setting("AVICAP_STANDIN_FAIL") == step; }

unsigned DriverCount() {
  const std::string count = Setting("AVICAP_STANDIN_DRIVERS");
  return count.empty() ? 1u : static_cast<unsigned>(std::strtoul(count.c_str(), nullptr, 10));
}

void Record(const std::string& line) {
  const std::string path = Setting("AVICAP_STANDIN_LOG");
  if (path.empty()) return;
  if (FILE* log = std::fopen(path.c_str(), "ab")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

std::string Format(const char* pattern, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

struct FrameFormat {
  int32_t width = 320;
  int32_t height = 240;
  uint16_t bits = 24;
};

// The state of one capture window: the driver's format and the last grabbed frame.
struct Capture {
  bool connected = false;
  FrameFormat format;
  FrameFormat grabbed;
  std::vector<uint8_t> rows;  // bottom-up, each padded to 4 bytes
};

int32_t RowBytes(const FrameFormat& format) { return (format.width * format.bits / 8 + 3) & ~3; }

// Eight vertical bars: white, yellow, cyan, green, magenta, red, blue, black; the top quarter darkens
// from left to right, so that orientation and row order show.
void Generate(const FrameFormat& format, std::vector<uint8_t>& rows) {
  static constexpr uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                          {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  const int32_t stride = RowBytes(format);
  rows.assign(static_cast<size_t>(stride) * format.height, 0);
  for (int32_t y = 0; y < format.height; ++y) {
    uint8_t* row = rows.data() + static_cast<size_t>(format.height - 1 - y) * stride;
    for (int32_t x = 0; x < format.width; ++x) {
      uint8_t rgb[3];
      if (y < format.height / 4) {
        const auto level = static_cast<uint8_t>(255 - x * 255 / (format.width > 1 ? format.width - 1 : 1));
        rgb[0] = rgb[1] = rgb[2] = level;
      } else {
        const uint8_t* bar = kBars[x * 8 / format.width];
        rgb[0] = bar[0], rgb[1] = bar[1], rgb[2] = bar[2];
      }
      if (format.bits == 16) {  // 5-5-5, little-endian
        const auto pixel = static_cast<uint16_t>((rgb[0] >> 3) << 10 | (rgb[1] >> 3) << 5 | rgb[2] >> 3);
        row[x * 2] = static_cast<uint8_t>(pixel);
        row[x * 2 + 1] = static_cast<uint8_t>(pixel >> 8);
      } else {
        uint8_t* pixel = row + x * (format.bits / 8);
        pixel[0] = rgb[2], pixel[1] = rgb[1], pixel[2] = rgb[0];
      }
    }
  }
}

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

bool SaveBitmap(const Capture& capture, const char* path) {
  const auto image_size = static_cast<uint32_t>(capture.rows.size());
  std::vector<uint8_t> file;
  file.push_back('B');
  file.push_back('M');
  Put32(file, 14 + 40 + image_size);
  Put32(file, 0);
  Put32(file, 14 + 40);
  Put32(file, 40);
  Put32(file, static_cast<uint32_t>(capture.grabbed.width));
  Put32(file, static_cast<uint32_t>(capture.grabbed.height));
  Put16(file, 1);
  Put16(file, capture.grabbed.bits);
  Put32(file, BI_RGB);
  Put32(file, image_size);
  for (int i = 0; i < 4; ++i) Put32(file, 0);
  file.insert(file.end(), capture.rows.begin(), capture.rows.end());
  // CREATE_ALWAYS: a file of that name is replaced, as the system's driver does.
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(handle, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
  CloseHandle(handle);
  return ok && written == file.size();
}

FrameFormat DeliveredFormat(const FrameFormat& asked) {
  const std::string deliver = Setting("AVICAP_STANDIN_DELIVER");
  FrameFormat format = asked;
  unsigned bits = 0;
  if (!deliver.empty() && std::sscanf(deliver.c_str(), "%dx%dx%u", &format.width, &format.height, &bits) == 3)
    format.bits = static_cast<uint16_t>(bits);
  return format;
}

LRESULT Answer(Capture& capture, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CAP_DRIVER_CONNECT:
      Record(Format("connect %llu", static_cast<unsigned long long>(wparam)));
      if (Fails("connect") || wparam >= DriverCount()) return FALSE;
      capture.connected = true;
      return TRUE;
    case WM_CAP_SET_VIDEOFORMAT: {
      BITMAPINFOHEADER header = {};
      std::memcpy(&header, reinterpret_cast<const void*>(lparam),
                  wparam < sizeof header ? wparam : sizeof header);
      Record(
          Format("format %llu size=%lu %ldx%ld planes=%u bits=%u compression=%lu image=%lu ppm=%ldx%ld "
                 "colours=%lu/%lu",
                 static_cast<unsigned long long>(wparam), header.biSize, header.biWidth, header.biHeight,
                 header.biPlanes, header.biBitCount, header.biCompression, header.biSizeImage,
                 header.biXPelsPerMeter, header.biYPelsPerMeter, header.biClrUsed, header.biClrImportant));
      if (!capture.connected || Fails("format")) return FALSE;
      if (header.biCompression != BI_RGB || header.biWidth <= 0 || header.biHeight <= 0 ||
          (header.biBitCount != 16 && header.biBitCount != 24 && header.biBitCount != 32))
        return FALSE;
      capture.format = {header.biWidth, header.biHeight, header.biBitCount};
      return TRUE;
    }
    case WM_CAP_GRAB_FRAME:
      Record("grab");
      if (!capture.connected || Fails("grab")) return FALSE;
      capture.grabbed = DeliveredFormat(capture.format);
      Generate(capture.grabbed, capture.rows);
      return TRUE;
    case WM_CAP_FILE_SAVEDIBA: {
      const char* path = reinterpret_cast<const char*>(lparam);
      Record(Format("save %llu %s", static_cast<unsigned long long>(wparam), path ? path : "(null)"));
      if (!capture.connected || capture.rows.empty() || !path || Fails("save")) return FALSE;
      return SaveBitmap(capture, path);
    }
    case WM_CAP_DRIVER_DISCONNECT:
      Record("disconnect");
      if (!capture.connected) return FALSE;
      capture.connected = false;
      return TRUE;
    default:
      if (message >= WM_CAP_START && message < WM_CAP_START + 200) Record(Format("message 0x%x", message));
      return 0;
  }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* capture = reinterpret_cast<Capture*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_NCDESTROY && capture) {
    std::unique_ptr<Capture> release(capture);
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  } else if (capture && message >= WM_CAP_START && message < WM_CAP_START + 200) {
    return Answer(*capture, message, wparam, lparam);
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&WindowProcedure), &module);
  return module;
}

}  // namespace

extern "C" __declspec(dllexport) HWND WINAPI
    capCreateCaptureWindowA(LPCSTR name, DWORD style, int x, int y, int width, int height, HWND parent,
                            int id) {
  const char* parent_name = parent == GetDesktopWindow() ? "desktop" : parent ? "other" : "none";
  Record(Format("create \"%s\" style=%08lx at=%d,%d size=%dx%d parent=%s id=%d", name ? name : "(null)",
                style, x, y, width, height, parent_name, id));
  if (Fails("create")) return nullptr;
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = ThisModule();
  window_class.lpszClassName = kClassName;
  RegisterClassA(&window_class);  // fails harmlessly when already registered
  HWND window =
      CreateWindowExA(0, kClassName, name, style, x, y, width, height, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), window_class.hInstance, nullptr);
  if (!window) return nullptr;
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(std::make_unique<Capture>().release()));
  return window;
}

extern "C" __declspec(dllexport) BOOL WINAPI
    capGetDriverDescriptionA(UINT index, LPSTR name, int name_size, LPSTR version, int version_size) {
  if (index >= DriverCount()) return FALSE;
  if (name && name_size > 0)
    std::snprintf(name, static_cast<size_t>(name_size), "Stand-in capture driver %u", index);
  if (version && version_size > 0) std::snprintf(version, static_cast<size_t>(version_size), "Version 1.0");
  return TRUE;
}
