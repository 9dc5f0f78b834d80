#!/bin/sh
# Registers the print host for the current user with Chrome, Chromium and
# Firefox on Linux: one manifest in each browser's per-user folder.
#   register.sh /path/to/tavelin-print-host CHROME_EXTENSION_ID FIREFOX_EXTENSION_ID
set -eu
if [ $# -ne 3 ]; then
  echo "usage: $0 HOST_PATH CHROME_EXTENSION_ID FIREFOX_EXTENSION_ID" >&2
  exit 2
fi
host=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

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

write_manifest "$HOME/.config/google-chrome/NativeMessagingHosts" "\"allowed_origins\": [\"chrome-extension://$2/\"]"
write_manifest "$HOME/.config/chromium/NativeMessagingHosts" "\"allowed_origins\": [\"chrome-extension://$2/\"]"
write_manifest "$HOME/.mozilla/native-messaging-hosts" "\"allowed_extensions\": [\"$3\"]"
echo "Registered $host"
