# Starts what the end-to-end tests print through: CUPS with PDF queues, and a
# Wine prefix with its server kept alive for the whole run.
# shellcheck shell=bash

# cups-pdf writes into the user's home from the password database; follow it
# when the environment does not say.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
TPH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$TPH_ROOT/build/wineprefix}"
export WINEDEBUG=-all
TPH_PDF_DIR="$HOME/PDF"

tph_start_cups() {
  if ! lpstat -r 2>/dev/null | grep -q "is running"; then
    cupsd
    for _ in $(seq 50); do lpstat -r 2>/dev/null | grep -q "is running" && break; sleep 0.1; done
  fi
  local q
  for q in Label_PDF Label_PDF_2; do
    lpstat -p "$q" >/dev/null 2>&1 ||
      lpadmin -p "$q" -E -v cups-pdf:/ -P /usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd 2>/dev/null
    cupsenable "$q" 2>/dev/null || true
    cupsaccept "$q" 2>/dev/null || true
  done
  lpadmin -d Label_PDF || return 1
  mkdir -p "$TPH_PDF_DIR"
}

tph_start_wine() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
  fi
  # A persistent server, and Wine's own services started with no pipe of
  # ours: a helper that inherits a test's output pipe would hold it open.
  (setsid wineserver -p </dev/null >/dev/null 2>&1 &)
  wine wineboot </dev/null >/dev/null 2>&1 || true
  [ -d "$WINEPREFIX/drive_c/windows" ]
}

tph_stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
}
