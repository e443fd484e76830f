# The Windows build's own dependencies: libjpeg-turbo and FreeType from Debian's source packages,
# cross-built as static libraries with MinGW-w64 and kept in the build folder, so that later builds
# reuse them. Sourced by scripts/build-windows.

# Adds deb-src entries beside the machine's Debian (or Ubuntu) deb entries when apt has none yet.
stillcam_enable_deb_src() {
  apt-get source --print-uris libjpeg-turbo >/dev/null 2>&1 && return 0
  local list=/etc/apt/sources.list.d/stillcam-deb-src.sources
  {
    # deb822 stanzas: the same stanza with Types: deb-src.
    for file in /etc/apt/sources.list.d/*.sources; do
      [ -e "$file" ] || continue
      awk 'BEGIN { RS = ""; FS = "\n" }
           { types = ""; uris = ""; components = ""
             for (i = 1; i <= NF; ++i) {
               if ($i ~ /^Types:/) types = " " substr($i, 7) " "
               if ($i ~ /^URIs:/) uris = $i
               if ($i ~ /^Components:/) components = " " substr($i, 12) " "
             }
             if (types !~ / deb / || uris !~ /\/(debian|ubuntu)/ || components !~ / main /) next
             for (i = 1; i <= NF; ++i) print ($i ~ /^Types:/ ? "Types: deb-src" : $i)
             print "" }' "$file"
    done
    # One-line entries, written in the same form.
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -e "$file" ] || continue
      awk '$1 == "deb" {
             sub(/^deb[ \t]+(\[[^]]*\][ \t]+)?/, "")  # the type and any [options]
             if ($1 !~ /\/(debian|ubuntu)/ || $0 !~ /[ \t]main([ \t]|$)/) next
             printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", $1, $2
             for (i = 3; i <= NF; ++i) printf " %s", $i
             printf "\n\n" }' "$file"
    done
  } >"$list"
  apt-get update -q >/dev/null
}

# Builds one source package's CMake project into the prefix.
stillcam_cross_build() {
  local source=$1 build=$2 prefix=$3
  shift 3
  cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$STILLCAM_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" "$@" >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null 2>&1 || cmake --build "$build"
  cmake --install "$build" >/dev/null
}

# Makes $1 (a prefix) hold static libjpeg-turbo and FreeType for win64, unless it already does.
stillcam_windows_deps() {
  local deps=$1
  local prefix=$deps/prefix stamp=$deps/prefix/stillcam-deps
  # The recipe's own lines are part of the stamp: a changed recipe rebuilds.
  local recipe
  recipe=$(declare -f stillcam_windows_deps stillcam_cross_build | sha256sum | cut -c1-16)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then return 0; fi
  echo "stillcam: cross-building libjpeg-turbo and FreeType for Windows (once, kept in $deps)"
  rm -rf "$deps"
  mkdir -p "$deps/src"
  stillcam_enable_deb_src
  (cd "$deps/src" && apt-get source -q libjpeg-turbo freetype >/dev/null 2>&1) ||
    { echo "stillcam: apt-get source libjpeg-turbo freetype failed" >&2; return 1; }
  local jpeg freetype
  jpeg=$(find "$deps/src" -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -1)
  freetype=$(find "$deps/src" -maxdepth 1 -type d -name 'freetype-*' | head -1)
  stillcam_cross_build "$jpeg" "$deps/build-jpeg" "$prefix" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON -DREQUIRE_SIMD=ON
  # FreeType as the caption needs it: no compressed fonts, no PNG glyphs, no shaping.
  stillcam_cross_build "$freetype" "$deps/build-freetype" "$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON -DFT_DISABLE_HARFBUZZ=ON \
    -DFT_DISABLE_BROTLI=ON
  rm -rf "$deps/src" "$deps/build-jpeg" "$deps/build-freetype"
  echo "$recipe" >"$stamp"
}

# GoogleTest for the Windows test programs, from Debian's googletest sources, into the same prefix.
stillcam_windows_test_deps() {
  local deps=$1
  local prefix=$deps/prefix stamp=$deps/prefix/stillcam-test-deps
  local recipe
  recipe=$(declare -f stillcam_windows_test_deps stillcam_cross_build | sha256sum | cut -c1-16)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then return 0; fi
  echo "stillcam: cross-building GoogleTest for Windows (once, kept in $deps)"
  stillcam_cross_build /usr/src/googletest "$deps/build-googletest" "$prefix" -DBUILD_GMOCK=OFF \
    -Dgtest_disable_pthreads=OFF
  rm -rf "$deps/build-googletest"
  echo "$recipe" >"$stamp"
}
