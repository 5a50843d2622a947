#!/usr/bin/env bash
# The main job: installs what is missing, builds, installs a demo app with its badge extension, and
# delivers a short story of pushes through the notification host, showing the badge each one got.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the three programs the story runs: the tests build with scripts/test.sh.
cmake --build build --target badge-app notification-host BadgeService | tail -n 1

bin=build/tools
demo=build/demo
app="$demo/Demo.app"
export QUENLARCH_KEYCHAIN="$PWD/$demo/keychain.sqlite"
rm -rf "$demo" && mkdir -p "$demo"

badge_app() { "$bin/badge_app/badge-app" "$@"; }
field() { grep -o "\"$1\":[^,}]*" | head -n 1 | cut -d: -f2- | tr -d '"'; }

# Delivers one payload and prints what the user saw.
push() {
  local what=$1 payload=$2 line
  line=$("$bin/notification_host/notification-host" deliver --app "$app" --time-limit 5 "$payload")
  local badge; badge=$(field badge <<<"$line"); [[ $badge == null ]] && badge=none
  printf '  %-44s -> badge %-4s (shown by the %s)\n' "$what" "$badge" \
    "$(field deliveredBy <<<"$line")"
}

echo "== Installing the demo app and its badge extension"
badge_app install --app "$app"
echo
echo "== Pushes arrive"
push "new message (\"Neue Nachricht\")" demo/new-message.json
push "missed call (\"Verpasster Anruf\")" demo/missed-call.json
push "uncounted sync push carrying badge 99" demo/sync-with-badge.json
echo "  -- the app switches counting off"
badge_app disable --app "$app" >/dev/null
push "uncounted sync push carrying badge 99" demo/sync-with-badge.json
push "new message while counting is off" demo/new-message.json
echo "  -- the app switches counting on again (count starts at 0)"
badge_app enable --app "$app" >/dev/null
push "new message" demo/new-message.json
echo
echo "== Stored record afterwards"
badge_app status --app "$app"
