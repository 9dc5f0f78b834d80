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
for dir in "$HOME/.config/google-chrome/NativeMessagingHosts" "$HOME/.config/chromium/NativeMessagingHosts"; do
  mkdir -p "$dir"
  cat > "$dir/com.tavelin.print.json" <<JSON
{
  "name": "com.tavelin.print",
  "description": "Tavelin label print host",
  "path": "$host",
  "type": "stdio",
  "allowed_origins": ["chrome-extension://$2/"]
}
JSON
done
dir="$HOME/.mozilla/native-messaging-hosts"
mkdir -p "$dir"
cat > "$dir/com.tavelin.print.json" <<JSON
{
  "name": "com.tavelin.print",
  "description": "Tavelin label print host",
  "path": "$host",
  "type": "stdio",
  "allowed_extensions": ["$3"]
}
JSON
echo "Registered $host"
