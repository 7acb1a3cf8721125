# shellcheck shell=bash
# What the scripts share; sourced, never run. Needs `set -euo pipefail` in the
# caller.

# Runs a command as root: directly when we are root, else through sudo.
k2_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs those of the given Debian packages that are not installed yet,
# saying which under the caller's own name ($K2_WHO, else the script's name).
# Quiet and quick when nothing is missing.
k2_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "${K2_WHO:-$(basename "$0")}: installing ${missing[*]}"
  k2_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  k2_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# The TensorFlow Lite C runtime (2.9.0, XNNPACK built in) of every platform
# comes prebuilt in one npm package; only its native libraries
# (package/cc_deps/<platform>/) and C headers (package/cc_deps/include/) are
# used, never its node build.
K2_TFL_PKG="tfjs-tflite-node@0.0.2"

# Fetches that package and unpacks it into <dir>/package.
k2_unpack_tflite() {
  (cd "$1" && npm pack --silent "$K2_TFL_PKG" >/dev/null </dev/null)
  tar -xzf "$1"/tfjs-tflite-node-*.tgz -C "$1"
}

# The interpreter the peer library and the preview run under: $PEER_PYTHON,
# else Debian's own python3, which has numpy and aiohttp (a version
# manager's python3 on the PATH may lack them).
k2_peer_python() {
  echo "${PEER_PYTHON:-/usr/bin/python3}"
}
