#include "imaging/font_lookup.h"

#include <stdexcept>

#include "base/platform.h"

namespace {

// DejaVu Sans, as Debian and Ubuntu (fonts-dejavu-core), Fedora, Arch and Alpine install it.
constexpr const char* kRegularPaths[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/dejavu-sans-fonts/DejaVuSans.ttf",
    "/usr/share/fonts/TTF/DejaVuSans.ttf",
    "/usr/share/fonts/dejavu/DejaVuSans.ttf",
};
constexpr const char* kBoldPaths[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/dejavu-sans-fonts/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/TTF/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/dejavu/DejaVuSans-Bold.ttf",
};

// The few fontconfig entry points we need, declared here so that nothing links against it.
using FcConfigPtr = void*;
using FcPatternPtr = void*;
using InitLoadConfigAndFonts = FcConfigPtr (*)();
using NameParse = FcPatternPtr (*)(const unsigned char*);
using ConfigSubstitute = int (*)(FcConfigPtr, FcPatternPtr, int);
using DefaultSubstitute = void (*)(FcPatternPtr);
using FontMatch = FcPatternPtr (*)(FcConfigPtr, FcPatternPtr, int*);
using PatternGetString = int (*)(FcPatternPtr, const char*, int, unsigned char**);
using PatternDestroy = void (*)(FcPatternPtr);
using ConfigDestroy = void (*)(FcConfigPtr);
using Fini = void (*)();
constexpr int kFcMatchPattern = 0;
constexpr int kFcResultMatch = 0;

}  // namespace

std::string FontconfigMatch(const char* pattern) {
  SharedLibrary fontconfig("libfontconfig.so.1");
  if (!fontconfig.loaded()) return "";
  auto init = fontconfig.Get<InitLoadConfigAndFonts>("FcInitLoadConfigAndFonts");
  auto parse = fontconfig.Get<NameParse>("FcNameParse");
  auto substitute = fontconfig.Get<ConfigSubstitute>("FcConfigSubstitute");
  auto default_substitute = fontconfig.Get<DefaultSubstitute>("FcDefaultSubstitute");
  auto match = fontconfig.Get<FontMatch>("FcFontMatch");
  auto get_string = fontconfig.Get<PatternGetString>("FcPatternGetString");
  auto destroy_pattern = fontconfig.Get<PatternDestroy>("FcPatternDestroy");
  auto destroy_config = fontconfig.Get<ConfigDestroy>("FcConfigDestroy");
  if (!init || !parse || !substitute || !default_substitute || !match || !get_string || !destroy_pattern ||
      !destroy_config) {
    return "";
  }
  std::string file;
  FcConfigPtr config = init();
  if (config == nullptr) return "";
  FcPatternPtr wanted = parse(reinterpret_cast<const unsigned char*>(pattern));
  if (wanted != nullptr) {
    substitute(config, wanted, kFcMatchPattern);
    default_substitute(wanted);
    int result = -1;
    FcPatternPtr found = match(config, wanted, &result);
    unsigned char* found_file = nullptr;
    if (found != nullptr && result == kFcResultMatch &&
        get_string(found, "file", 0, &found_file) == kFcResultMatch) {
      file = reinterpret_cast<const char*>(found_file);
    }
    if (found != nullptr) destroy_pattern(found);
    destroy_pattern(wanted);
  }
  destroy_config(config);
  // Frees fontconfig's caches before the library is unloaded.
  if (auto fini = fontconfig.Get<Fini>("FcFini")) fini();
  return file;
}

FontFile FindCaptionFont(const NamedFonts& named, bool bold) {
  if (bold && !named.bold.empty()) return {named.bold, "STILLCAM_BOLD_FONT"};
  if (!named.regular.empty()) return {named.regular, "STILLCAM_FONT"};
  for (const char* path : bold ? kBoldPaths : kRegularPaths) {
    if (IsReadable(path)) return {path, "default"};
  }
  std::string matched = FontconfigMatch(bold ? "sans-serif:bold" : "sans-serif");
  if (!matched.empty()) return {matched, "fontconfig"};
  throw std::runtime_error(
      "no sans-serif font found: install DejaVu Sans (fonts-dejavu-core) or name a TrueType file "
      "in STILLCAM_FONT");
}
