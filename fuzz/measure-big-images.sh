#!/usr/bin/env bash
# Peak resident set size of "evenor-cli analyse" on 4096 x 4096 images of 8
# and 16 bits (the sample generator's flat field, 0.1 mm spacing), measured by
# /usr/bin/time -v. Not a test: the figures depend on the machine.
#
#   fuzz/measure-big-images.sh [EVENOR-CLI]   (default: build/cli/evenor-cli)
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/cli/evenor-cli}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for bits in 8 16; do
  /usr/bin/python3 scripts/make-sample.py --rows 4096 --cols 4096 --spacing 0.1 --bits "$bits" \
    --out "$work/big$bits.dcm" >/dev/null
  for options in "" "--no-detect" "--area 1,1,4094,4094 --inverted --offset 10"; do
    # shellcheck disable=SC2086
    /usr/bin/time -v "$cli" analyse "$work/big$bits.dcm" -o "$work/report.txt" $options \
      >/dev/null 2>"$work/time.txt" || { cat "$work/time.txt"; exit 1; }
    rss=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt")
    wall=$(awk '/Elapsed \(wall clock\)/ {print $NF}' "$work/time.txt")
    printf '%2s bits %-44s peak RSS %6.1f MB, wall %s\n' "$bits" "[${options}]" "$(awk -v kb="$rss" 'BEGIN {print kb / 1024}')" "$wall"
  done
done
