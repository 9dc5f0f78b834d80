#!/bin/sh
# Removes the current user's registration of the print host (what
# register.sh wrote) from Chrome, Chromium and Firefox.
set -eu
for folder in "$HOME/.config/google-chrome/NativeMessagingHosts" "$HOME/.config/chromium/NativeMessagingHosts" \
              "$HOME/.mozilla/native-messaging-hosts"; do
  rm -f "$folder/com.tavelin.print.json"
done
echo "Unregistered com.tavelin.print"
