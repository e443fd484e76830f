# Installs the Debian packages listed in scripts/deps/<list> files that are not installed yet.
# Sourced by scripts/serve and scripts/test. Needs root when anything is missing.
# A line is "package" or "package command": with a command, the package counts as present when the
# command is on PATH (Node.js, for one, often comes from another repository whose package conflicts
# with Debian's npm). "package|other" names alternatives, for names that differ between Debian and
# Ubuntu: any one installed will do, and the first that apt knows is installed.

stillcam_missing_packages() {
  local list line command
  for list in "$@"; do
    grep -v '^\s*#' "$STILLCAM_ROOT/scripts/deps/$list" | while read -r line command; do
      [ -n "$line" ] || continue
      [ -n "$command" ] && command -v "$command" >/dev/null 2>&1 && continue
      stillcam_any_installed "$line" || echo "$line"
    done
  done | sort -u
}

stillcam_any_installed() {
  local package
  for package in ${1//|/ }; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed' && return 0
    # A name that an installed package provides counts too (nodesource's nodejs provides npm).
    dpkg-query -W -f='${db:Status-Abbrev}|${Provides}\n' | awk -F'|' '/^ii/ { print $2 }' | tr ',' '\n' |
      awk '{ print $1 }' | grep -Fxq -- "$package" && return 0
  done
  return 1
}

# The first of "a|b|c" that apt can install.
stillcam_pick_alternative() {
  local package
  for package in ${1//|/ }; do
    apt-cache show "$package" >/dev/null 2>&1 && { echo "$package"; return; }
  done
  echo "${1%%|*}"
}

stillcam_install_packages() {
  local missing
  missing=$(stillcam_missing_packages "$@")
  [ -n "$missing" ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "stillcam: missing Debian packages (run as root to install them):" $missing >&2
    return 1
  fi
  echo "stillcam: installing" $missing
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  local picked=() line
  for line in $missing; do picked+=("$(stillcam_pick_alternative "$line")"); done
  apt-get install -y -q --no-install-recommends "${picked[@]}" >/dev/null
}

stillcam_build() {
  local dir=${1:-build}
  shift || true
  cmake -S "$STILLCAM_ROOT" -B "$STILLCAM_ROOT/$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$STILLCAM_ROOT/$dir" -j"$(nproc)"
}
