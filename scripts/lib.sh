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

# The TensorFlow Lite C runtime (2.9.0, XNNPACK built in) comes prebuilt for
# every platform in one npm package; only its native libraries and C headers
# are used, never its node build. The package is fetched once, checked
# against this digest before anything in it is unpacked, and kept in .deps.
K2_TFL_PKG="tfjs-tflite-node@0.0.2"
K2_TFL_SHA256="3be1632328a76a2475e5b6833253763c802c859433becb4d879ee1860e3b5284"

# Prints the verified, unpacked package folder (holding cc_deps/) under $1,
# fetching and checking it first when needed. A download that does not match
# the pinned digest is deleted and stops the calling script.
k2_runtime_package() {
  local deps="$1" name="tfjs-tflite-node-0.0.2" got work
  local tgz="$deps/$name.tgz" dir="$deps/$name"
  mkdir -p "$deps"
  # Checkouts that share .deps may set up at the same time.
  exec 8>"$deps/.runtime-package.lock"
  flock 8
  if [ ! -f "$dir/.verified" ]; then
    if [ ! -f "$tgz" ]; then
      echo "${K2_WHO:-$(basename "$0")}: fetching $K2_TFL_PKG" >&2
      work="$(mktemp -d)"
      (cd "$work" && npm pack --silent "$K2_TFL_PKG" >/dev/null </dev/null) || { rm -rf "$work"; exit 1; }
      mv "$work/$name.tgz" "$tgz"
      rm -rf "$work"
    fi
    got="$(sha256sum "$tgz" | cut -d' ' -f1)"
    if [ "$got" != "$K2_TFL_SHA256" ]; then
      rm -f "$tgz"
      echo "${K2_WHO:-$(basename "$0")}: $K2_TFL_PKG has SHA-256 $got, not the pinned $K2_TFL_SHA256; it was deleted and nothing was installed from it" >&2
      exit 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    tar -xzf "$tgz" -C "$dir"
    touch "$dir/.verified"
  fi
  exec 8>&-
  echo "$dir/package"
}

# Copies $1 to $2 unless $2 already holds the same bytes.
k2_copy_if_different() {
  cmp -s "$1" "$2" 2>/dev/null || { mkdir -p "$(dirname "$2")" && cp "$1" "$2"; }
}

# The interpreter the peer library and the preview run under: $PEER_PYTHON,
# else Debian's own python3, which has numpy and aiohttp (a version
# manager's python3 on the PATH may lack them).
k2_peer_python() {
  echo "${PEER_PYTHON:-/usr/bin/python3}"
}

# Prints the folder of Debian's source package $1, unpacked under $2 with
# its patches applied (needs dpkg-dev). Source entries are added for the
# release's own archive when the machine has none.
k2_debian_source() {
  local pkg="$1" work="$2"
  if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -q "^Package: $pkg\$"; then
    local list=/etc/apt/sources.list.d/kinra2-deb-src.list
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' |
      awk -v c="$codename" '$2 == c && $3 == "deb" {print $1}' | sort -u |
      while read -r uri; do
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $codename main"
      done | k2_sudo tee "$list" >/dev/null
    [ -s "$list" ] || { echo "${K2_WHO:-$(basename "$0")}: no Debian archive entry for $codename to take sources from" >&2; exit 1; }
    echo "${K2_WHO:-$(basename "$0")}: source entries added in $list" >&2
    k2_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
  fi
  (cd "$work" && apt-get source -qq "$pkg" >/dev/null 2>&1 </dev/null) ||
    (cd "$work" && apt-get source "$pkg" </dev/null >&2)
  find "$work" -maxdepth 1 -type d -name "$pkg-*" | head -n1
}
