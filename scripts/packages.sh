#!/usr/bin/env bash
# installMissingPackages NAME...: installs, with apt-get (as root or through
# sudo), those of the named Debian packages that are not installed yet.
# Sourced by setup.sh and windows.sh.
installMissingPackages() {
  local missing=() name sudo=""
  for name in "$@"; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' || missing+=("$name")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}
