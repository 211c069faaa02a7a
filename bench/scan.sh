#!/usr/bin/env bash
# Hunt mode's speed and memory: kpupdate --scan against GNU grep -c -F of a literal the blob
# lacks (which reads at about memory speed) and cat > /dev/null (the floor), on 512 MiB
# blobs from the page cache: random bytes, real shared libraries, and blobs made to be slow.
#
#   bench/scan.sh [RUNS]   RUNS rounds, 7 by default; each row's median
#
# In every round the three commands run one after the other, each taking every place in
# turn. The last row is a scan from a pipe, with its peak RSS.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
size=$((512 << 20))
[[ -x build/release/kpupdate ]] || cmake --workflow --preset release >/dev/null
tool=${KPUPDATE_TOOL:-$PWD/build/release/kpupdate}
work=${SCAN_WORK:-$PWD/build/bench-scan}
mkdir -p "$work"

# The blobs, made once: the same bytes for every round.
[[ -f $work/random.bin ]] || head -c $size /dev/urandom >"$work/random.bin"
if [[ ! -f $work/libraries.bin ]]; then
  find /usr/lib -name '*.so*' -type f -size +100k 2>/dev/null | sort | xargs cat 2>/dev/null |
    head -c $size >"$work/libraries.bin" || true
fi
python3 - "$work" "$size" <<'PY'
import os, struct, sys
work, size = sys.argv[1], int(sys.argv[2])
def record(name, index, size_field, tail=b"\0" * 32):
    return name.ljust(88, b"\0") + struct.pack("<II", index, size_field) + tail
blobs = {
    # One realistic directory record, repeated: a candidate every 128 bytes.
    "record.bin": record(b"file.bin", 3, 1000, bytes(range(32))),
    # A header claiming 5000 files at every 128th byte.
    "claims.bin": record(b"V1.0", 5000, 70000),
}
for name, unit in blobs.items():
    path = os.path.join(work, name)
    if os.path.exists(path):
        continue
    with open(path, "wb") as out:
        block = unit * (1 << 16)
        for _ in range(size // len(block)):
            out.write(block)
PY

seconds() { # command...: wall seconds of one run, output dropped
  local start end
  start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  end=$EPOCHREALTIME
  echo "$end - $start" | bc
}
median() { sort -g | awk 'NF { v[++n] = $1 } END { print v[int((n + 1) / 2)] }'; }
ratio() { printf '%.2f' "$(echo "scale=4; $1 / $2" | bc)"; }

printf '| blob (512 MiB, page cache) | kpupdate --scan | grep -c -F | cat > /dev/null | ×grep | ×cat |\n'
printf '|---|---|---|---|---|---|\n'
for blob in random libraries record claims; do
  file=$work/$blob.bin
  cat "$file" >/dev/null
  declare -A taken=([kp]="" [grep]="" [cat]="")
  order=(kp grep cat)
  for ((round = 0; round < runs; round++)); do
    for ((place = 0; place < 3; place++)); do
      name=${order[(place + round) % 3]}
      case $name in
        kp) taken[kp]+="$(seconds "$tool" --scan "$file")"$'\n' ;;
        grep) taken[grep]+="$(seconds grep -c -F kpupdate-literal-not-there "$file")"$'\n' ;;
        cat) taken[cat]+="$(seconds sh -c 'cat "$0" >/dev/null' "$file")"$'\n' ;;
      esac
    done
  done
  kp=$(median <<<"${taken[kp]}")
  grep_s=$(median <<<"${taken[grep]}")
  cat_s=$(median <<<"${taken[cat]}")
  printf '| %s | %.3f s | %.3f s | %.3f s | %s | %s |\n' "$blob" "$kp" "$grep_s" "$cat_s" "$(ratio "$kp" "$grep_s")" \
    "$(ratio "$kp" "$cat_s")"
done

rss=$( { cat "$work/random.bin" | /usr/bin/time -f %M "$tool" --scan - >/dev/null || true; } 2>&1 | tail -1)
printf '\nPeak RSS of cat random.bin | kpupdate --scan -: %s KiB\n' "$rss"
