#!/bin/sh
# Registers the print host for the current user with Chrome, Chromium and
# Firefox on Linux: a manifest in each browser's per-user folder, allowing
# the extensions named (one or more for either browser, or both).
#   register.sh HOST_PATH [--chrome EXTENSION_ID]... [--firefox EXTENSION_ID]...
#   register.sh HOST_PATH CHROME_EXTENSION_ID FIREFOX_EXTENSION_ID   (the older form)
# A Chrome extension's id is the 32 letters a-p its manifest "key" fixes; a
# Firefox extension's id is its browser_specific_settings.gecko.id.
# packaging/linux/unregister.sh removes what this writes.
set -eu
usage() {
  echo "usage: $0 HOST_PATH [--chrome EXTENSION_ID]... [--firefox EXTENSION_ID]..." >&2
  exit 2
}
[ $# -ge 1 ] || usage
host=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
if [ $# -eq 2 ] && [ "${1#--}" = "$1" ]; then
  set -- --chrome "$1" --firefox "$2"
fi

origins=""
firefox=""
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case "$1" in
    --chrome)
      if ! printf '%s' "$2" | grep -Eq '^[a-p]{32}$'; then
        echo "$0: not a Chrome extension id (32 letters a-p): $2" >&2
        exit 2
      fi
      origins="${origins:+$origins, }\"chrome-extension://$2/\"" ;;
    --firefox)
      if ! printf '%s' "$2" | grep -Eq '^[A-Za-z0-9@{}._+-]{1,200}$'; then
        echo "$0: not a Firefox extension id: $2" >&2
        exit 2
      fi
      firefox="${firefox:+$firefox, }\"$2\"" ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$origins$firefox" ] || usage

# write_manifest FOLDER ALLOWED_LINE: the manifest, with the browser's own
# line naming who may call the host.
write_manifest() {
  mkdir -p "$1"
  cat > "$1/com.tavelin.print.json" <<JSON
{
  "name": "com.tavelin.print",
  "description": "Tavelin label print host",
  "path": "$host",
  "type": "stdio",
  $2
}
JSON
}

if [ -n "$origins" ]; then
  write_manifest "$HOME/.config/google-chrome/NativeMessagingHosts" "\"allowed_origins\": [$origins]"
  write_manifest "$HOME/.config/chromium/NativeMessagingHosts" "\"allowed_origins\": [$origins]"
fi
if [ -n "$firefox" ]; then
  write_manifest "$HOME/.mozilla/native-messaging-hosts" "\"allowed_extensions\": [$firefox]"
fi
echo "Registered $host"
