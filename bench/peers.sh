#!/usr/bin/env bash
# kpupdate against the tools people already use, row by row, on one file system: each
# round runs kpupdate and the peer one after the other, each going first in turn, and
# every row gives the median of the per-round ratios and their spread.
#
#   bench/peers.sh PLACE [RUNS]   PLACE: an empty directory to write in (e.g. /var/tmp/kp
#                                 for ext4, /dev/shm/kp for tmpfs); RUNS 15 by default
#   ROWS="fresh replacing create list large" picks rows.
set -euo pipefail
place=$1
runs=${2:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${KPUPDATE_TOOL:-$root/build/release/kpupdate}
inputs=$root/build/bench-tar
if [[ ! -f $inputs/spread.tar || ! -d $inputs/create-files ]]; then
  rm -rf "$inputs" && mkdir -p "$inputs"
  "$root/build/release/make_sample" --bench "$inputs"
  tar -cf "$inputs/spread.tar" -C "$inputs/spread-files" .
  # A new tree of a multiple of 4 files is refused (its data would begin at its last
  # directory record): the 5000 less one.
  cp -r "$inputs/spread-files" "$inputs/create-files"
  rm "$inputs/create-files/$(cd "$inputs/create-files" && find . -type f | sort | head -1)"
  dd if="$inputs/listing.update" of="$inputs/directory.bin" bs=128 skip=1 count=5000 status=none
fi
mkdir -p "$place"
cp "$inputs/listing.update" "$inputs/directory.bin" "$place/"

# Seconds one command takes, its output to /dev/null.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  echo "$EPOCHREALTIME - $start" | bc
}
# Seconds for 20 runs of a command a few milliseconds long.
batch_seconds() {
  local start=$EPOCHREALTIME i
  for ((i = 0; i < 20; i++)); do "$@" >/dev/null; done
  echo "$EPOCHREALTIME - $start" | bc
}
# One sample of kpupdate's side (k) or the peer's (p) of a row.
sample() {
  local row=$1 side=$2
  case $row-$side in
    fresh-k | replacing-k) seconds "$tool" -q -a -C "$place/k" "$inputs/spread.update" ;;
    fresh-p | replacing-p) seconds tar -xf "$inputs/spread.tar" -C "$place/p" ;;
    create-k) rm -f "$place/new.update" && sync && seconds "$tool" --create "$place/new.update" -C "$inputs/create-files" . ;;
    create-p) rm -f "$place/new.tar" && sync && seconds tar -cf "$place/new.tar" -C "$inputs/create-files" . ;;
    list-k) batch_seconds "$tool" "$place/listing.update" ;;
    list-p) batch_seconds cat "$place/directory.bin" ;;
    large-k) rm -f "$place/k/large.bin" && sync && seconds "$tool" -q -a -C "$place/k" "$inputs/large.update" ;;
    large-p) rm -f "$place/p/large.bin" && sync && seconds cp "$inputs/large.bin" "$place/p/large.bin" ;;
  esac
}
# One round of a row: "kpupdate-seconds peer-seconds", the side going first by turns.
round() {
  local row=$1 turn=$2 k p
  if ((turn % 2)); then
    k=$(sample "$row" k) p=$(sample "$row" p)
  else
    p=$(sample "$row" p) k=$(sample "$row" k)
  fi
  echo "$k $p"
}
declare -A peer=([fresh]="tar -xf" [replacing]="tar -xf" [create]="tar -cf" [list]="cat of the directory" [large]="cp")
declare -A label=([fresh]="extract 5000 files in 50 directories, fresh"
  [replacing]="the same over the files already there" [create]="--create of 4999 files"
  [list]="list 5000 entries to /dev/null" [large]="extract one 512 MiB entry")
filesystem=$(stat -f -c %T "$place")
[[ $filesystem == ext2/ext3 ]] && filesystem=ext4  # one magic number for the three
for row in ${ROWS:-fresh replacing create list large}; do
  results=()
  for ((i = 0; i < runs; i++)); do
    case $row in
      fresh) rm -rf "$place/k" "$place/p" && mkdir -p "$place/k" "$place/p" && sync ;;
      replacing) rm -rf "$place/k" "$place/p" && mkdir -p "$place/k" "$place/p" &&
        "$tool" -q -a -C "$place/k" "$inputs/spread.update" && tar -xf "$inputs/spread.tar" -C "$place/p" && sync ;;
      large) mkdir -p "$place/k" "$place/p" ;;
    esac
    results+=("$(round "$row" "$i")")
  done
  printf '%s\n' "${results[@]}" | awk -v label="${label[$row]}" -v peer="${peer[$row]}" -v fs="$filesystem" '
    { k[NR] = $1; p[NR] = $2; r[NR] = $1 / $2 }
    function at(v, n, q,   s, i, j, x) {  # the q-quantile, by an insertion sort (mawk has no asort)
      for (i = 1; i <= n; i++) {
        x = v[i]
        for (j = i - 1; j >= 1 && s[j] > x; j--) s[j + 1] = s[j]
        s[j + 1] = x
      }
      return s[int(q * (n - 1) + 0.5) + 1]
    }
    function median(v, n) { return at(v, n, 0.5) }
    END {
      printf "| %s | %s | %.4f s | %.4f s (%s) | %.2f× | %.2f–%.2f (min %.2f, max %.2f) |\n", label, fs,
        median(k, NR), median(p, NR), peer, median(r, NR), at(r, NR, 0.25), at(r, NR, 0.75), at(r, NR, 0), at(r, NR, 1)
    }'
done
rm -rf "$place/k" "$place/p" "$place/new.update" "$place/new.tar"
