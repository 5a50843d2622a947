#!/usr/bin/env bash
# The main job: installs what is missing, builds, and shows the badge counter at work.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

app="$PWD/build/demo/Demo.app"
ext="$app/Contents/PlugIns/BadgeService.appex"
echo "== The install tag of the demo app, derived from the app bundle and from its extension"
build/tools/badge_app/badge-app tag "$app"
build/tools/badge_app/badge-app tag "$ext"
echo "== A record with count 4 for this installation, and what the extension would read from it"
record=$(build/tools/badge_app/badge-app encode --count 4 --bundle "$app")
echo "$record"
build/tools/badge_app/badge-app decode "$record" --bundle "$ext"
echo "== The record of a switched-off counter"
build/tools/badge_app/badge-app decode "$(build/tools/badge_app/badge-app encode --disabled)"
