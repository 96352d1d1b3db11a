#!/usr/bin/env bash
# Renders the golden pictures of tests/golden/ anew from the demo show and replaces the committed ones.
# Run it after a deliberate change to the picture, look at every new image, then commit them.
#
#   scripts/approve-goldens.sh [build folder]     (default: build-tests, as ./test.sh leaves it)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-tests}"
drevik="$build/app/drevik"
demo="$build/demo"
[[ -x $drevik && -f $demo/Graphics.csv ]] || { echo "approve-goldens: build Drevik first (no $drevik or demo show)" >&2; exit 1; }

# The goldens are the software driver's pictures, as the tests render them.
lavapipe=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
[[ -f $lavapipe && -z ${VK_DRIVER_FILES:-} ]] && export VK_DRIVER_FILES=$lavapipe

duration=$(sed -n 's/^# duration_seconds=//p' "$demo/Graphics.csv" | tail -n 1)
while read -r family seconds; do
  [[ -z $family || $family == \#* ]] && continue
  time=$(python3 -c "print($seconds / $duration)")
  rm -f "$root/tests/golden/$family.png"
  "$drevik" --graphics "$demo/Graphics.csv" --music "$demo/Music.csv" --time "$time" \
    --width 320 --height 180 --snapshot "$root/tests/golden/$family.png" | tail -n 1
done < "$root/tests/golden/cases.txt"
