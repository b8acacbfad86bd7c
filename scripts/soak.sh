#!/usr/bin/env bash
# A long run of the simulator and what must hold after it (not part of CI: 30 days take
# about a quarter of an hour):
#
#   scripts/soak.sh [DAYS [START [OUT [MAX_RSS_MB]]]]
#     DAYS        simulated days (default 30), run from START plus ten minutes, so that
#                 the last day's last interval is closed and stored
#     START       UTC start, YYYY-MM-DDT00:00:00Z (default 2028-02-27T00:00:00Z: the run
#                 crosses the leap day and a month end)
#     OUT         output folder, emptied first (default build/soak)
#     MAX_RSS_MB  highest peak memory accepted (default 48)
#
# Checks, one line each, and exit 1 when any fails:
#   the run ends with status 0; no restart; no sample lost after the first minute; every
#   file of the card reads back; fsck.fat -n finds partition 1 of the card clean; every day
#   of the run has its folder YYMMDD, a .raw and a .wav file for each interval and one
#   results file with a row for each interval, dated that day, in order; no folder for a
#   day outside the run; peak memory (resident set) within MAX_RSS_MB.
# Intervals are the firmware's default 20 minutes (a blank EEPROM). Uses build/ondavix-sim
# (ONDAVIX_BUILD names another build folder).
set -uo pipefail
cd "$(dirname "$0")/.."

days=${1:-30}
start=${2:-2028-02-27T00:00:00Z}
out=${3:-${ONDAVIX_BUILD:-build}/soak}
max_rss_mb=${4:-48}
build=${ONDAVIX_BUILD:-build}
interval_min=20

die() { echo "soak: $*" >&2; exit 2; }
[[ $days =~ ^[1-9][0-9]{0,2}$ ]] && [ "$days" -le 400 ] || die "DAYS $days: expected a whole number of days from 1 to 400"
[[ $start =~ ^([0-9]{4}-[0-9]{2}-[0-9]{2})T00:00:00Z$ ]] || die "START $start: expected a midnight as YYYY-MM-DDT00:00:00Z"
first_day=${BASH_REMATCH[1]}
date -u -d "$first_day" +%F >/dev/null 2>&1 || die "START $start: not a date"
[[ $max_rss_mb =~ ^[1-9][0-9]*$ ]] || die "MAX_RSS_MB $max_rss_mb: expected a whole number of megabytes"
[ -x "$build/ondavix-sim" ] && [ -f "$build/ondavix-fw.so" ] ||
  die "$build/ondavix-sim or $build/ondavix-fw.so missing: build them first (cmake --build $build --target ondavix-sim ondavix_fw_image)"
command -v fsck.fat >/dev/null || die "fsck.fat missing (package dosfstools)"

rm -rf "$out"
mkdir -p "$out" || die "$out: cannot make the output folder"
duration=$((days * 86400 + 600))
echo "soak: $days days from $start ($duration s simulated) into $out"

# Peak memory: GNU time when there is one, else the kernel's high-water mark read while it runs.
t0=$(date +%s)
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f '%M' -o "$out/peak_kb" "$build/ondavix-sim" --duration "$duration" --start "$start" \
    --out "$out" >"$out/summary.txt" 2>"$out/stderr.txt"
  rc=$?
  peak_kb=$(tail -1 "$out/peak_kb")
else
  "$build/ondavix-sim" --duration "$duration" --start "$start" --out "$out" >"$out/summary.txt" 2>"$out/stderr.txt" &
  pid=$!
  peak_kb=0
  while kill -0 "$pid" 2>/dev/null; do
    hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    [ -n "$hwm" ] && peak_kb=$hwm
    sleep 0.5
  done
  wait "$pid"
  rc=$?
fi
wall=$(($(date +%s) - t0))

failed=0
check() { # check OK|FAIL WHAT
  printf '%-5s %s\n' "$1" "$2"
  [ "$1" = ok ] || failed=1
}

[ "$rc" -eq 0 ] && check ok "run ended with status 0 ($wall s of wall time)" ||
  check FAIL "run ended with status $rc: $(head -c 300 "$out/stderr.txt")"
summary=$(cat "$out/summary.txt")

restarts=$(sed -n 's/^restarts  *\([0-9][0-9]*\)$/\1/p' <<<"$summary")
[ "$restarts" = 0 ] && check ok "restarts 0" || check FAIL "restarts ${restarts:-missing from the summary}"

samples=$(grep '^samples ' <<<"$summary")
if [[ $samples =~ formed\ ([0-9]+)\ of\ ([0-9]+)\ epochs\ sent\ \((-?[0-9]+)\ lost,\ (-?[0-9]+)\ after ]]; then
  figures="${BASH_REMATCH[1]} of ${BASH_REMATCH[2]} samples formed, ${BASH_REMATCH[3]} lost"
  [ "${BASH_REMATCH[4]}" = 0 ] && check ok "$figures, none after the first minute" ||
    check FAIL "$figures, ${BASH_REMATCH[4]} of them after the first minute"
else
  check FAIL "no samples line in the summary"
fi

grep -q '^  unreadable ' <<<"$summary" && check FAIL "unreadable files on the card: $(grep -A3 '^  unreadable ' <<<"$summary" | tr '\n' ' ')" ||
  check ok "every file of the card read back ($(sed -n 's/^  files  *\([0-9]*\) copied.*/\1/p' <<<"$summary") files)"

# fsck.fat knows no partition tables: partition 1, where its MBR entry places it, alone.
img="$out/sd.img"
if [ -f "$img" ]; then
  le32() { od -An -tu1 -j "$1" -N4 "$img" | awk '{print $1 + $2 * 256 + $3 * 65536 + $4 * 16777216}'; }
  first=$(le32 454)
  count=$(le32 458)
  part="$out/partition1.img"
  if [ "$count" -gt 0 ] && dd if="$img" of="$part" bs=1M iflag=skip_bytes,count_bytes skip=$((first * 512)) \
       count=$((count * 512)) conv=sparse status=none; then
    if fsck_out=$(fsck.fat -n "$part" 2>&1); then
      check ok "fsck.fat -n: partition 1 clean ($count blocks from block $first)"
    else
      check FAIL "fsck.fat -n: $(tail -5 <<<"$fsck_out" | tr '\n' ' ')"
    fi
  else
    check FAIL "cannot take partition 1 out of $img (entry: block $first, $count blocks)"
  fi
  rm -f "$part"
else
  check FAIL "no card image $img"
fi

# The days: every interval's files and results row, dated as the day's folder says.
slots=()
for ((m = 0; m < 1440; m += interval_min)); do slots+=("$(printf '%02d%02d' $((m / 60)) $((m % 60)))"); done
bad_days=()
expected_folders=()
for ((i = 0; i < days; i++)); do
  day=$(date -u -d "$first_day +$i day" +%y%m%d)
  expected_folders+=("$day")
  dir="$out/sd/$day"
  if [ ! -d "$dir" ]; then
    bad_days+=("$day: no folder")
    continue
  fi
  missing=()
  for s in "${slots[@]}"; do
    for ext in raw wav; do [ -s "$dir/$s.$ext" ] || missing+=("$s.$ext"); done
  done
  [ ${#missing[@]} -eq 0 ] || bad_days+=("$day: missing or empty ${missing[*]:0:6}")
  res=("$dir"/*.res)
  if [ ${#res[@]} -ne 1 ] || [ ! -f "${res[0]}" ]; then
    bad_days+=("$day: ${#res[@]} results files, expected 1")
    continue
  fi
  # Rows start DD,MM,YY,HH,MM: one for each interval of the day, in order.
  want=$(for s in "${slots[@]}"; do echo "${day:4:2},${day:2:2},${day:0:2},${s:0:2},${s:2:2}"; done)
  got=$(cut -c1-14 "${res[0]}")
  [ "$got" = "$want" ] ||
    bad_days+=("$day: results rows $(wc -l <"${res[0]}") ($(diff <(echo "$want") <(echo "$got") | grep '^[<>]' | head -2 | tr '\n' ' '))")
done
[ ${#bad_days[@]} -eq 0 ] &&
  check ok "$days day folders ${expected_folders[0]}..${expected_folders[$((days - 1))]}, each with ${#slots[@]} intervals' .raw, .wav and results rows" ||
  check FAIL "days incomplete: ${bad_days[*]:0:5}"

# The day after the last runs ten minutes: its folder may be there; no other.
after=$(date -u -d "$first_day +$days day" +%y%m%d)
strays=()
for d in "$out"/sd/*/; do
  name=$(basename "$d")
  [ "$name" = _sd ] || [ "$name" = "$after" ] || [[ " ${expected_folders[*]} " == *" $name "* ]] || strays+=("$name")
done
[ ${#strays[@]} -eq 0 ] && check ok "no folder for a day outside the run" || check FAIL "folders for days outside the run: ${strays[*]}"

peak_mb=$(((peak_kb + 1023) / 1024))
[ "$peak_mb" -le "$max_rss_mb" ] && check ok "peak memory $peak_mb MB (resident set; at most $max_rss_mb)" ||
  check FAIL "peak memory $peak_mb MB, above $max_rss_mb"

exit $failed
