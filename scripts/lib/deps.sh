# Installs the Debian packages the build and the tests need, once.
# shellcheck shell=bash

TPH_PACKAGES=(
  cmake make g++ pkg-config clang libclang-rt-14-dev
  nlohmann-json3-dev libspng-dev libssl-dev libgtest-dev libbenchmark-dev
  libcups2-dev zlib1g-dev
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 wixl
  cups cups-client cups-bsd cups-ipp-utils printer-driver-cups-pdf poppler-utils
  python3 python3-reportlab zbar-tools strace chromium firefox-esr nodejs lintian
)

tph_install_deps() {
  local missing=()
  local p
  for p in "${TPH_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  # Some Node.js builds carry npm themselves; Debian's comes as its own package.
  if ! command -v npm >/dev/null 2>&1; then
    apt-get install -y -q --no-install-recommends npm
  fi
}
