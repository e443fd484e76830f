#!/usr/bin/env bash
# The Windows program answers exactly as the Linux one: for each frame of the corpus (every BMP layout
# the loader takes), and for the test source at each size with and without the caption, whose glyphs
# and placement must then be the same too. Both run on this machine at the same minute.
#   same_as_linux.sh LINUX_STILLCAM WINE_RUN WINE_PREFIX WINDOWS_STILLCAM CORPUS_FOLDER
set -euo pipefail
linux=$1 wine_run=$2 prefix=$3 windows=$4 corpus=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The C locale on both sides: English month names, as Wine's default locale gives them.
export LC_ALL=C TZ=${TZ:-UTC}
failures=0

compare() {  # NAME, then the environment of both runs
  local name=$1
  shift
  env "$@" "$linux" >"$work/linux" 2>"$work/linux.err" </dev/null
  env "$@" "$wine_run" "$prefix" "$windows" >"$work/windows" 2>"$work/windows.err" </dev/null
  if [ ! -s "$work/linux" ]; then
    echo "FAIL $name: the Linux build gave nothing: $(cat "$work/linux.err")"
    failures=$((failures + 1))
  elif cmp -s "$work/linux" "$work/windows"; then
    echo "same $name ($(stat -c %s "$work/linux") bytes)"
  else
    echo "FAIL $name: Linux $(stat -c %s "$work/linux") bytes, Windows $(stat -c %s "$work/windows") bytes:" \
      "$(cat "$work/windows.err")"
    failures=$((failures + 1))
  fi
}

for frame in "$corpus"/*.bmp; do
  [ -s "$frame" ] || continue  # an empty file is no frame
  compare "$(basename "$frame")" QUERY_STRING=large STILLCAM_DEVICE="file:$frame"
done

# The captioned runs compare only when both fell within one minute; a turn in between repeats them.
for query in "" medium large timestamp medium+timestamp large+timestamp boldtimestamp large+boldtimestamp; do
  for attempt in 1 2 3; do
    minute=$(date +%H%M)
    before=$failures
    compare "test source, query \"$query\"" QUERY_STRING="$query" STILLCAM_DEVICE=test
    [ "$(date +%H%M)" = "$minute" ] && break
    failures=$before
  done
done
exit $((failures > 0))
