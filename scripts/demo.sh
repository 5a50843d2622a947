#!/usr/bin/env bash
# The main job: installs what is missing, builds, installs a demo app with its badge extension, and
# delivers a short story of pushes through the notification host, telling for each what a person
# sees (the alert and the badge) and why the badge is what it is. Ends with one push sent as a
# provider's server sends it: curl over HTTP/2 to the service's provider endpoint.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/tools
if [[ ! -x $bin/notification_host/notification-host ]]; then
  echo "== First run: installing the packages the build needs and building the three programs."
  echo "   This takes about 3 minutes on two cores, more on a busy machine; the next run starts at once."
fi
bash scripts/install-deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the three programs the story runs (the tests build with scripts/test.sh); the build's own
# progress lines show that it is working.
cmake --build build --target badge-app notification-host BadgeService

demo=build/demo
app="$demo/Demo.app"
export QUENLARCH_KEYCHAIN="$PWD/$demo/keychain.sqlite"
export LANGUAGE=en  # the alerts in English, whatever this machine is set to
rm -rf "$demo" && mkdir -p "$demo"

badge_app() { "$bin/badge_app/badge-app" "$@"; }

# Delivers one payload to `app` and tells what the person saw and why.
#   push TITLE PAYLOAD WHY [deliver options...]
push() {
  local title=$1 payload=$2 why=$3
  shift 3
  local limits=(--time-limit 5) line
  (($# == 0)) || limits=("$@")
  line=$("$bin/notification_host/notification-host" deliver --app "$app" "${limits[@]}" "$payload")
  python3 - "$title" "$why" "$line" <<'PY'
import json, sys
title, why, line = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
alert = line.get("alert") or {}
text = " / ".join(alert[k] for k in ("title", "subtitle", "body") if alert.get(k))
badge = "none" if line["badge"] is None else line["badge"]
if line.get("badgeNote"):
    badge = f"{badge} ({line['badgeNote']})"
if line["deliveredBy"] == "extension":
    shown = "the extension"
elif line.get("extension") == "ran":
    shown = "the host (the extension never answered)"
else:
    shown = f"the host (extension not run: {line.get('extension')})"
print(f"  {title}")
print(f"      alert: {chr(34) + text + chr(34) if text else '(none: a silent push)'}")
print(f"      badge: {badge}, shown by {shown}")
print(f"      why:   {why}")
PY
}

echo
echo "== Installing the demo app and its badge extension (the counter starts at 0)"
badge_app install --app "$app"
echo
echo "== Pushes arrive"
push "1. Ana sends a message" demo/new-message.json \
  "a new-message alert counts: the extension adds one to the stored count"
push "2. Grace calls and nobody answers" demo/missed-call.json \
  "a missed-call alert counts too"
push "3. A silent sync push that carries badge 99" demo/sync-with-badge.json \
  "it shows no alert, so a device never wakes the extension for it: the launcher shows the sender's 99"
push "3b. The same push with --extension-for all" demo/sync-with-badge.json \
  "run anyway, it does not count, but it carries a badge, so the extension puts the stored count (2) in place of the sender's 99" \
  --time-limit 5 --extension-for all
echo "  -- the app switches counting off"
badge_app disable --app "$app" >/dev/null
push "4. The same sync push, badge 99, with --extension-for all" demo/sync-with-badge.json \
  "with counting off the extension leaves the push as it arrived, badge 99 and all" \
  --time-limit 5 --extension-for all
push "5. Ana sends another message" demo/new-message.json \
  "counting is off, so nothing is counted, and the push itself carries no badge"
echo "  -- the app switches counting on again (the count starts again at 0)"
badge_app enable --app "$app" >/dev/null
push "6. Ana sends another message" demo/new-message.json \
  "counting again, from 0"

echo
echo "== When an extension does not answer in time"
# Another app, with a keychain of its own, whose extension starts and then never answers.
app="$demo/Stuck.app"
export QUENLARCH_KEYCHAIN="$PWD/$demo/stuck-keychain.sqlite"
BADGE_SERVICE_EXECUTABLE="$PWD/demo/stuck-extension" badge_app install --app "$app" >/dev/null
push "7. A message for an app whose extension hangs (time limit 1 s)" demo/new-message.json \
  "after the time limit and a short grace the host shows the push itself, as it arrived: nothing counted, no badge" \
  --time-limit 1 --grace-ms 300

echo
echo "== The demo app's stored record afterwards"
app="$demo/Demo.app"
export QUENLARCH_KEYCHAIN="$PWD/$demo/keychain.sqlite"
badge_app status --app "$app"

echo
echo "== A push from a provider's server: curl --http2 to serve's provider endpoint"
# serve makes a throwaway certificate beside its socket (host-provider.pem); --provider-auth none
# because curl signs no provider token (the README's second start shows a signed one).
"$bin/notification_host/notification-host" serve --app "$app" --socket "$demo/host.sock" \
  --provider-listen 127.0.0.1:0 --provider-auth none >"$demo/serve.out" 2>"$demo/serve.err" &
serve_pid=$!
trap 'kill "$serve_pid" 2>/dev/null || true' EXIT
until port=$(grep -o 'provider endpoint listening on 127.0.0.1:[0-9]*' "$demo/serve.err" | grep -o '[0-9]*$'); do
  kill -0 "$serve_pid" 2>/dev/null || { cat "$demo/serve.err" >&2; exit 1; }
  sleep 0.1
done
token=$(badge_app status --app "$app" | python3 -c 'import json, sys; print(json.load(sys.stdin)["deviceToken"])')
echo "  8. Ana's message, as her server pushes it:"
echo "      curl --http2 -H 'apns-topic: com.quenlarch.app' --data-binary @demo/new-message.json \\"
echo "           https://127.0.0.1:$port/3/device/${token:0:8}..."
provider_push() {
  curl -sS --http2 --cacert "$demo/host-provider.pem" -H "apns-topic: com.quenlarch.app" \
    --data-binary @"$1" -o /dev/null -w '      answer: %{http_code}, apns-id %header{apns-id}\n' \
    "https://127.0.0.1:$port/3/device/$token"
}
lines() { if [[ -f $demo/serve.out ]]; then wc -l <"$demo/serve.out"; else echo 0; fi; }
provider_push demo/new-message.json
until (($(lines) >= 1)); do sleep 0.1; done  # the push's line once it was shown
host() { "$bin/notification_host/notification-host" "$@" --socket "$demo/host.sock"; }
echo "  9. The phone goes offline (notification-host device offline); meanwhile Ana's server"
echo "     pushes a message, then Grace's missed call:"
host device offline >/dev/null
provider_push demo/new-message.json
provider_push demo/missed-call.json
until (($(lines) >= 2)); do sleep 0.1; done  # the replaced push's line
stored=$(host status | python3 -c 'import json, sys; print(json.load(sys.stdin)["storedPush"]["apnsId"])')
echo "      the service keeps one push for the app, the newest: $stored"
echo "     The phone comes back (notification-host device online): the kept push is delivered."
host device online >/dev/null
until (($(lines) >= 3)); do sleep 0.1; done
kill "$serve_pid" && wait "$serve_pid" || true
python3 - "$demo/serve.out" <<'PY'
import json, sys
for number, text in enumerate(open(sys.argv[1]), 1):
    line = json.loads(text)
    if "dropped" in line:
        print(f"      {line['apnsId']}: dropped, {line['dropped']}")
        continue
    alert = line.get("alert") or {}
    text = alert.get("title") or alert.get("body") or ""
    print(f"      {line['apnsId']}: shown by the {line['deliveredBy']}: \"{text}\", badge {line['badge']}")
PY
