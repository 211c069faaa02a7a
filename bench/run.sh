#!/usr/bin/env bash
# Speed and memory of kpupdate against the floor (cat, cp) and a peer (bsdtar).
#
#   bench/run.sh [RUNS]     RUNS samples per command, 12 by default
#
# Each row is the median of RUNS samples; in every round the tool, its floor and the
# peer run one after the other, so all three see the same machine, and each goes
# first in a third of the rounds. A listing sample times a batch of BATCH invocations
# (20 by default), since one takes a few ms.
# Needs bsdtar (Debian's libarchive-tools); strace, if present, counts write calls.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-12}
batch=${BATCH:-20}

cmake --workflow --preset release >/dev/null
tool=$PWD/build/release/kpupdate
work=$PWD/build/bench
rm -rf "$work"
mkdir -p "$work/out"
build/release/make_sample --bench "$work"
cd "$work"
dd if=listing.update of=directory.bin bs=128 skip=1 count=5000 status=none # the 5000 directory records
bsdtar -cf listing.tar -C listing-files .
bsdtar -cf large.tar large.bin

# Seconds for `batch` runs of the command, its stdout to /dev/null or through a pipe.
listing_sample() {
  local sink=$1 start end i
  shift
  start=$EPOCHREALTIME
  for ((i = 0; i < batch; i++)); do
    if [[ $sink == pipe ]]; then "$@" | cat >/dev/null; else "$@" >/dev/null; fi
  done
  end=$EPOCHREALTIME
  echo "$end - $start" | bc
}

# Seconds and peak RSS (KiB) of one extraction into out/. The target is removed and
# dirty pages written back first, so that no run pays for the one before it.
extract_sample() {
  rm -f "$work/out/large.bin"
  sync
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o rss.txt "$@" >/dev/null
  end=$EPOCHREALTIME
  echo "$(echo "$end - $start" | bc) $(cat rss.txt)"
}

median() { sort -g | awk 'NF { v[++n] = $1 } END { print v[int((n + 1) / 2)] }'; }
ratio() { printf '%.2f' "$(echo "scale=4; $1 / $2" | bc)"; }

# One sample of the named command. The machine treats the first command of a round
# differently (the write after another tool's large file was removed can be several
# times slower), so every command takes every place in turn.
take_sample() {
  case $1 in
    kp_null | kp_pipe) listing_sample "${1#kp_}" "$tool" listing.update ;;
    cat_null | cat_pipe) listing_sample "${1#cat_}" cat directory.bin ;;
    tar_null | tar_pipe) listing_sample "${1#tar_}" bsdtar -tvf listing.tar ;;
    kp_x) (cd out && extract_sample "$tool" ../large.update 1) ;;
    cp_x) extract_sample cp large.bin out/large.bin ;;
    tar_x) extract_sample bsdtar -xf large.tar -C out large.bin ;;
  esac
}

declare -A samples
for ((round = 0; round < runs; round++)); do
  for row in null pipe x; do
    names=("kp_$row" "cat_$row" "tar_$row")
    [[ $row == x ]] && names=(kp_x cp_x tar_x)
    for ((place = 0; place < 3; place++)); do
      name=${names[(place + round) % 3]}
      samples[$name]+="$(take_sample "$name")"$'\n'
    done
  done
done

ms() { printf '%.2f' "$(echo "scale=4; 1000 * $1 / $batch" | bc)"; }
printf '| case | kpupdate | floor | ×floor | bsdtar | ×floor | kpupdate peak RSS |\n'
printf '|---|---|---|---|---|---|---|\n'
for sink in null pipe; do
  kp=$(median <<<"${samples[kp_$sink]}")
  floor=$(median <<<"${samples[cat_$sink]}")
  peer=$(median <<<"${samples[tar_$sink]}")
  label="list 5000 entries, stdout to /dev/null"
  [[ $sink == pipe ]] && label="list 5000 entries, stdout into a pipe"
  printf '| %s | %s ms | %s ms (cat) | %s | %s ms (bsdtar -tvf) | %s | |\n' "$label" "$(ms "$kp")" "$(ms "$floor")" \
    "$(ratio "$kp" "$floor")" "$(ms "$peer")" "$(ratio "$peer" "$floor")"
done
kp=$(cut -d' ' -f1 <<<"${samples[kp_x]}" | median)
floor=$(cut -d' ' -f1 <<<"${samples[cp_x]}" | median)
peer=$(cut -d' ' -f1 <<<"${samples[tar_x]}" | median)
rss=$(cut -s -d' ' -f2 <<<"${samples[kp_x]}" | sort -g | tail -1)
printf '| extract one 512 MiB entry | %.3f s | %.3f s (cp) | %s | %.3f s (bsdtar -xf) | %s | %s MiB |\n' "$kp" "$floor" \
  "$(ratio "$kp" "$floor")" "$peer" "$(ratio "$peer" "$floor")" "$((rss / 1024))"

if command -v strace >/dev/null; then
  for colour in 0 1; do
    writes=$(CLICOLOR_FORCE=$colour strace -f -c -e trace=write "$tool" listing.update 2>&1 >/dev/null |
      awk '$NF == "write" { print $4 }')
    echo "write calls for the listing, CLICOLOR_FORCE=$colour: ${writes:-0}"
  done
fi
