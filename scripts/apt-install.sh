# Sourced by the set-up scripts: installs the Debian packages given that are not installed yet,
# once, only when absent. InstallMissing [--no-install-recommends] PACKAGE...
InstallMissing() {
  local options=()
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}
