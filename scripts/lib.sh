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
