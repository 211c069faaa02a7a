#!/usr/bin/env bash
# Extraction against GNU tar, paired: the 5000 files in 50 directories, fresh and then
# again over the files already there, kpupdate and tar one after the other, each going
# first in turn; medians and their ratios.
#
#   bench/tar_pair.sh DIRECTORY [RUNS]   (DIRECTORY: where to extract, e.g. /dev/shm/x or /var/tmp/x)
set -euo pipefail
base=$1
runs=${2:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${KPUPDATE_TOOL:-$root/build/release/kpupdate}
inputs=$root/build/bench-tar
if [[ ! -f $inputs/spread.tar ]]; then
  mkdir -p "$inputs"
  "$root/build/release/make_sample" --bench "$inputs"
  tar -cf "$inputs/spread.tar" -C "$inputs/spread-files" .
fi
microseconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}
pair() { # one run of each, in the order the round says; prints "kpupdate tar"
  local k t
  if (($1 % 2)); then
    k=$(microseconds "$tool" -q -a -C "$base/k" "$inputs/spread.update")
    t=$(microseconds tar -xf "$inputs/spread.tar" -C "$base/t")
  else
    t=$(microseconds tar -xf "$inputs/spread.tar" -C "$base/t")
    k=$(microseconds "$tool" -q -a -C "$base/k" "$inputs/spread.update")
  fi
  echo "$k $t"
}
fresh=() replacing=()
for ((i = 0; i < runs; i++)); do
  rm -rf "$base/k" "$base/t" && mkdir -p "$base/k" "$base/t" && sync
  fresh+=("$(pair "$i")")
  sync
  replacing+=("$(pair "$i")")
done
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for name in fresh replacing; do
  declare -n rows=$name
  k=$(printf '%s\n' "${rows[@]}" | cut -d' ' -f1 | median)
  t=$(printf '%s\n' "${rows[@]}" | cut -d' ' -f2 | median)
  echo "$name: kpupdate ${k} µs, tar ${t} µs, $(echo "scale=2; $k / $t" | bc)×"
done
rm -rf "$base/k" "$base/t"
