#!/usr/bin/env bash
# The demo story on a desktop of its own: a private session bus, a virtual X display, a real
# notification server (dunst) and a dock (plank). notification-host delivers each push with
# --show desktop, so the alerts appear as desktop notifications and the badge as the count on the
# app's dock item. Saves a screenshot to build/demo/desktop-demo.png and prints the launcher counts
# sent and what the notification server received. Every process it starts is stopped by its pid.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target badge-app BadgeService notification-host | tail -n 1

bin=build/tools
demo=build/demo
work="$demo/desktop"
app="$PWD/$work/Demo.app"
shot="$demo/desktop-demo.png"
mkdir -p "$demo"
rm -rf "$work" && mkdir -p "$work"
export QUENLARCH_KEYCHAIN="$PWD/$work/keychain.sqlite"

pids=()
stop_all() {
  local pid
  exec 4>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do
    if ((pid > 0)); then kill "$pid" 2>/dev/null || true; fi
  done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

# A session bus of our own: nothing is started on demand, every client may listen to signals.
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$PWD/$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --nofork --config-file="$work/bus.conf" --print-address=3 3>"$work/bus.address" \
  2>"$work/dbus.log" &
pids+=($!)
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x360x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do
  [[ -s $work/bus.address && -s $work/display ]] && break
  sleep 0.1
done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$PWD/$work/bus"
export DISPLAY=":$(head -n 1 "$work/display")"
# Desktop files, dock settings and caches stay in the work folder, not in the user's home.
export HOME="$PWD/$work/home" XDG_CONFIG_HOME="$PWD/$work/home/.config"
export XDG_DATA_HOME="$PWD/$work/home/.local/share" XDG_CACHE_HOME="$PWD/$work/home/.cache"
export GSETTINGS_BACKEND=memory
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME"

# Notifications stay up until closed, so that the screenshot shows the whole story.
cat >"$work/dunstrc" <<CONF
[global]
  font = DejaVu Sans 11
  origin = top-right
  offset = 12x12
  width = 330
  frame_width = 2
  frame_color = "#8fa9c8"
  format = "<b>%s</b>\n%b"
[urgency_normal]
  background = "#24364f"
  foreground = "#ffffff"
  timeout = 0
CONF
dunst -config "$work/dunstrc" 2>"$work/dunst.log" &
pids+=($!)
dbus-monitor --address "$DBUS_SESSION_BUS_ADDRESS" \
  "type='signal',interface='com.canonical.Unity.LauncherEntry'" >"$work/launcher.log" 2>&1 &
pids+=($!)

# The dock, with the app's desktop entry (named after its CFBundleIdentifier) as its one item.
if command -v plank >/dev/null; then
  convert -size 64x64 xc:none -fill '#3b6ea5' -draw 'roundrectangle 2,2 61,61 14,14' \
    -fill white -font DejaVu-Sans-Bold -pointsize 38 -gravity center -annotate 0 Q \
    "$work/icon.png"
  desktop_file="$XDG_DATA_HOME/applications/com.quenlarch.app.desktop"
  printf '[Desktop Entry]\nType=Application\nName=Quenlarch\nExec=true\nIcon=%s\n' \
    "$PWD/$work/icon.png" >"$desktop_file"
  mkdir -p "$XDG_CONFIG_HOME/plank/dock1/launchers"
  printf '[PlankDockItemPreferences]\nLauncher=file://%s\n' "$desktop_file" \
    >"$XDG_CONFIG_HOME/plank/dock1/launchers/quenlarch.dockitem"
  plank >"$work/plank.log" 2>&1 &
  pids+=($!)
fi
for _ in $(seq 100); do dunstctl is-paused >/dev/null 2>&1 && break; sleep 0.1; done

host=("$bin/notification_host/notification-host" deliver --app "$app" --time-limit 5 --show desktop)
describe() {
  python3 -c 'import json, sys
line = json.loads(sys.stdin.readline())
alert = line["alert"]["body"] or "(no alert)"
print("%-32s badge %s" % (repr(alert), line["badge"]))'
}
push() {
  local what=$1 payload=$2
  printf '  %-34s -> %s\n' "$what" "$("${host[@]}" "$payload" | describe)"
}

echo "== Installing the demo app (display $DISPLAY, bus $DBUS_SESSION_BUS_ADDRESS)"
"$bin/badge_app/badge-app" install --app "$app" >/dev/null
echo "== Pushes arrive"
export LANGUAGE=en
push "new message" demo/new-message.json
push "missed call" demo/missed-call.json
push "sync push carrying badge 99" demo/sync-with-badge.json
# A dock shows the count only while the program that set it is on the bus, so the last push goes
# through a host that stays until the screenshot is taken (its input is held open).
mkfifo "$work/last-push"
LANGUAGE=de "${host[@]}" - <"$work/last-push" >"$work/last-push.out" &
last=$!
pids+=($last)
exec 4>"$work/last-push"
tr -d '\n' <demo/new-message.json >&4
echo >&4
for _ in $(seq 100); do [[ -s $work/last-push.out ]] && break; sleep 0.1; done
printf '  %-34s -> %s\n' "new message, read in German" "$(describe <"$work/last-push.out")"
sleep 1  # the dock and the notification server redraw
xwd -root -silent | convert xwd:- -colors 64 "$shot"
exec 4>&-
wait "$last" || true
echo "== Screenshot: $shot"
echo "== Launcher counts sent (com.canonical.Unity.LauncherEntry Update)"
grep -A1 '"count"' "$work/launcher.log" | grep -o 'int64 [0-9]*' | sed 's/^int64 /  count /' || true
echo "== dunstctl history (appname | summary | body | category | default action), oldest first"
dunstctl close-all
dunstctl history >"$work/history.json"
python3 - "$work/history.json" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))["data"][0]
for e in reversed(entries):
    keys = ("appname", "summary", "body", "category", "default_action_name")
    print("  " + " | ".join(str(e[k]["data"]).replace("\n", " / ") for k in keys if k in e))
PY
