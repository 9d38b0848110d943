#!/usr/bin/env bash
# Regenerates examples/report.png, the README's picture of the damage report:
# the HTML page of `brinewick inspect examples/damaged.csv`, as headless
# Chromium shows it. Needs brinewick importable by $PYTHON and Chromium
# (Debian: chromium).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
CHROMIUM=${CHROMIUM:-$(command -v chromium || command -v chromium-browser)}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Status 1 only says that rows were set aside.
"$PYTHON" -m brinewick inspect examples/damaged.csv --no-merge-overflow --html "$scratch/report.html" \
  >/dev/null || [ $? -eq 1 ]
"$CHROMIUM" --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$scratch/profile" \
  --window-size=1000,1700 --screenshot="$scratch/report.png" "file://$scratch/report.html" 2>/dev/null
mv "$scratch/report.png" examples/report.png
echo "wrote examples/report.png"
