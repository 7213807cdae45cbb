# need_debian_packages PACKAGE...: installs those of the Debian packages given that are
# not installed yet (through apt, with sudo when not root) and does nothing otherwise;
# stops with one line where the machine has no apt-get. Source it.
need_debian_packages() {
  local who missing=() package
  who="$(basename "$0" .sh)"
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "$who: needs the Debian packages ${missing[*]}, and this machine has no apt-get; install their equivalents" >&2
    exit 1
  fi
  echo "$who: installing Debian packages: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
