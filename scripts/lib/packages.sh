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
  # Server packages (nginx, apache2, lighttpd, fcgiwrap) would start their services on every address
  # as they install; the tests start their own on 127.0.0.1, so nothing may start here.
  local policy=/usr/sbin/policy-rc.d own_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && own_policy=1
  fi
  local status=0
  apt-get install -y -q --no-install-recommends "${picked[@]}" >/dev/null || status=$?
  [ -z "$own_policy" ] || rm -f "$policy"
  return "$status"
}

# Configures and builds, one job per core. Each step runs in a process group of its own whose id is in
# STILLCAM_GROUP meanwhile, so that a script's trap can stop the compilers too (stillcam_stop_group).
stillcam_build() {
  local dir=${1:-build}
  shift || true
  stillcam_run_group --quiet cmake -S "$STILLCAM_ROOT" -B "$STILLCAM_ROOT/$dir" -DCMAKE_BUILD_TYPE=Release "$@"
  stillcam_run_group cmake --build "$STILLCAM_ROOT/$dir" -j"$(nproc)"
}

# --quiet: without the command's standard output. (Redirecting the call itself would redirect a trap
# that runs during it as well.)
STILLCAM_GROUP=
stillcam_run_group() {
  local status=0 caller_trap quiet=
  [ "$1" != --quiet ] || { quiet=yes; shift; }
  # The group no longer hears the terminal's Ctrl-C, so a script without its own trap gets one here.
  caller_trap=$(trap -p INT TERM)
  [ -n "$caller_trap" ] || trap 'stillcam_stop_group; exit 130' INT TERM
  if [ -n "$quiet" ]; then setsid "$@" >/dev/null & else setsid "$@" & fi
  STILLCAM_GROUP=$!
  # A trapped signal interrupts this wait, and the trap runs at once.
  wait "$STILLCAM_GROUP" || status=$?
  STILLCAM_GROUP=
  [ -n "$caller_trap" ] || trap - INT TERM
  return "$status"
}

stillcam_stop_group() {
  [ -n "$STILLCAM_GROUP" ] || return 0
  kill -TERM -- "-$STILLCAM_GROUP" 2>/dev/null || true
  wait "$STILLCAM_GROUP" 2>/dev/null || true
  STILLCAM_GROUP=
}
