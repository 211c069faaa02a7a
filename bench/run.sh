#!/usr/bin/env bash
# Speed and memory of kpupdate against the floor (cat, cp) and a peer (bsdtar).
#
#   bench/run.sh [RUNS]          RUNS samples per command, 15 by default
#   bench/run.sh --peers [RUNS]  only the last table: kpupdate against GNU tar, cp and cat,
#                                row by row, on ext4 (DISK, /var/tmp by default) and tmpfs
#
# Each row is the median of RUNS samples; in every round the tool, its floor and the
# peers run one after the other, so all see the same machine, and each takes every
# place in turn. A listing sample times a batch of BATCH invocations (20 by default),
# since one takes a few ms.
# Needs bsdtar (Debian's libarchive-tools) and GNU tar; strace, if present, counts
# write calls.
set -euo pipefail
cd "$(dirname "$0")/.."
peers_only=false
if [[ ${1:-} == --peers ]]; then
  peers_only=true
  shift
fi
runs=${1:-15}
batch=${BATCH:-20}
bench=$PWD/bench

# kpupdate against the tools people use instead, each row paired in alternation, on the
# disk and in memory.
peer_table() {
  printf '\n| work | file system | kpupdate | peer | ×peer (median of rounds) | spread: quartiles (min, max) |\n'
  printf '|---|---|---|---|---|---|\n'
  for place in "${DISK:-/var/tmp}/kpupdate-peers" /dev/shm/kpupdate-peers; do
    "$bench/peers.sh" "$place" "$runs"
    rm -rf "$place"
  done
}
if $peers_only; then
  cmake --workflow --preset release >/dev/null
  peer_table
  exit 0
fi

cmake --workflow --preset release >/dev/null
tool=${KPUPDATE_TOOL:-$PWD/build/release/kpupdate}  # KPUPDATE_TOOL: another build to measure
work=$PWD/build/bench
rm -rf "$work"
mkdir -p "$work/out"
build/release/make_sample --bench "$work"
cd "$work"
dd if=listing.update of=directory.bin bs=128 skip=1 count=5000 status=none # the 5000 directory records
bsdtar -cf listing.tar -C listing-files .
bsdtar -cf spread.tar -C spread-files .
bsdtar -cf alternate.tar -C alternate-files .
bsdtar -cf large.tar large.bin
# For --diff: the large entry with its last byte changed, the 5000 with 50 of them
# changed (a byte each; not entry 0, whose chunk begins with the last directory record),
# and the 5000 extracted twice.
cp large.update large-changed.update
printf '\377' | dd of=large-changed.update bs=1 seek=$(($(stat -c %s large.update) - 1)) conv=notrunc status=none
cp listing.update listing-changed.update
"$tool" -l listing.update | awk -F '\t' 'NR > 1 && $2 + 0 > 0 && ++n % 90 == 1 && m++ < 50 { print $3 }' |
  while read -r offset; do
    printf '\377' | dd of=listing-changed.update bs=1 seek=$((16#$offset)) conv=notrunc status=none
  done
mkdir -p tree-a tree-b
# For --create: the 5000 files over 50 directories less one, since a new tree of a multiple
# of 4 files is refused (its data region would begin at its last directory record).
cp -r spread-files create-files
rm "create-files/$(cd create-files && find . -type f | sort | head -1)"
"$tool" -qa --trim -C tree-a listing.update
"$tool" -qa --trim -C tree-b listing.update

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

# Seconds and peak RSS (KiB) of one extraction into out/, which the caller has made
# empty. Dirty pages are written back first, so that no run pays for another's.
extract_sample() {
  sync
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/rss.txt" "$@" >/dev/null
  end=$EPOCHREALTIME
  echo "$(echo "$end - $start" | bc) $(cat "$work/rss.txt")"
}

# A new empty directory for the next extraction of the 5000 files; the one before is
# moved aside, not removed. These go to a memory file system where there is one
# (/dev/shm, or FILES_OUT): on this VM's ext4, the inodes that any earlier run freed make
# every file created in the next few minutes several times slower, for each tool alike,
# which drowns what the tools themselves do.
files_out=${FILES_OUT:-/dev/shm/kpupdate-bench}
[[ -z ${FILES_OUT:-} && ! -w /dev/shm ]] && files_out=$work/files-out
rm -rf "$files_out"
mkdir -p "$files_out/used" "$files_out/out"
fresh_out() {
  mv "$files_out/out" "$files_out/used/$EPOCHREALTIME"
  mkdir "$files_out/out"
}

# Seconds and peak RSS of a comparison, whose status says only whether the sides differ.
compare_sample() {
  local start end
  start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/rss.txt" "$@" >/dev/null || true
  end=$EPOCHREALTIME
  echo "$(echo "$end - $start" | bc) $(tail -n 1 "$work/rss.txt")"
}

# Seconds and peak RSS of a command whose standard output goes through a pipe to cat.
piped_sample() {
  local start end
  start=$EPOCHREALTIME
  { /usr/bin/time -f %M -o "$work/rss.txt" "$@" | cat >/dev/null; }
  end=$EPOCHREALTIME
  echo "$(echo "$end - $start" | bc) $(cat "$work/rss.txt")"
}

# Seconds of a command reading `input` from a pipe, and its peak RSS (not cat's).
stdin_sample() {
  local input=$1 start end
  shift
  sync
  start=$EPOCHREALTIME
  { cat "$input" | /usr/bin/time -f %M -o "$work/rss.txt" "$@" >/dev/null; }
  end=$EPOCHREALTIME
  echo "$(echo "$end - $start" | bc) $(cat "$work/rss.txt")"
}

median() { sort -g | awk 'NF { v[++n] = $1 } END { print v[int((n + 1) / 2)] }'; }
ratio() { printf '%.2f' "$(echo "scale=4; $1 / $2" | bc)"; }

# One sample of the named command.
take_sample() {
  case $1 in
    *_x) rm -f "$work/out/large.bin" ;;  # one file: nothing for the inode allocator to steer around
    *_all | *_spread | *_alt) fresh_out ;;
    *_c) rm -f "$files_out"/new.* ;;
    *_cx) rm -f out/new.update out/copy.bin out/new.tar ;;
  esac
  case $1 in
    kp_null | kp_pipe) listing_sample "${1#kp_}" "$tool" listing.update ;;
    cat_null | cat_pipe) listing_sample "${1#cat_}" cat directory.bin ;;
    tar_null | tar_pipe) listing_sample "${1#tar_}" bsdtar -tvf listing.tar ;;
    kp_x) (cd out && extract_sample "$tool" ../large.update 1) ;;
    cp_x) extract_sample cp large.bin out/large.bin ;;
    tar_x) extract_sample bsdtar -xf large.tar -C out large.bin ;;
    kp_all) extract_sample "$tool" -q -a -C "$files_out/out" listing.update ;;
    cp_all) extract_sample cp -r listing-files/. "$files_out/out" ;;
    tar_all) extract_sample bsdtar -xf listing.tar -C "$files_out/out" ;;
    gnutar_all) extract_sample tar -xf listing.tar -C "$files_out/out" ;;
    kp_spread) extract_sample "$tool" -q -a -C "$files_out/out" spread.update ;;
    cp_spread) extract_sample cp -r spread-files/. "$files_out/out" ;;
    tar_spread) extract_sample bsdtar -xf spread.tar -C "$files_out/out" ;;
    gnutar_spread) extract_sample tar -xf spread.tar -C "$files_out/out" ;;
    kp_alt) extract_sample "$tool" -q -a -C "$files_out/out" alternate.update ;;
    cp_alt) extract_sample cp -r alternate-files/. "$files_out/out" ;;
    tar_alt) extract_sample bsdtar -xf alternate.tar -C "$files_out/out" ;;
    gnutar_alt) extract_sample tar -xf alternate.tar -C "$files_out/out" ;;
    kp_dlarge) compare_sample "$tool" -q --diff large-changed.update large.update ;;
    kp_sha) compare_sample "$tool" --sha256 large.update ;;
    sum_sha) compare_sample sha256sum large.bin ;;
    cmp_dlarge) compare_sample cmp large-changed.update large.update ;;
    kp_dall) compare_sample "$tool" -q --diff listing-changed.update listing.update ;;
    cmp_dall) compare_sample cmp -l listing-changed.update listing.update ;;
    kp_dtree) compare_sample "$tool" -q --diff tree-a listing.update ;;
    diff_dtree) compare_sample diff -r tree-a tree-b ;;
    kp_stream_x) stdin_sample large.update "$tool" -q -a -C out - ;;
    cat_stream_x) stdin_sample large.update sh -c 'cat > out/large.bin' ;;
    tar_stream_x) stdin_sample large.tar bsdtar -xf - -C out ;;
    kp_stream_all) stdin_sample listing.update "$tool" -q -a -C "$files_out/out" - ;;
    tar_stream_all) stdin_sample listing.tar bsdtar -xf - -C "$files_out/out" ;;
    gnutar_stream_all) stdin_sample listing.tar tar -xf - -C "$files_out/out" ;;
    kp_c) extract_sample "$tool" --create "$files_out/new.update" -C create-files . ;;
    gnutar_c) extract_sample tar -cf "$files_out/new.tar" -C create-files . ;;
    tar_c) extract_sample bsdtar -cf "$files_out/new.tar" -C create-files . ;;
    kp_cx) extract_sample "$tool" --create out/new.update large.bin ;;
    cp_cx) extract_sample cp large.bin out/copy.bin ;;
    tar_cx) extract_sample bsdtar -cf out/new.tar large.bin ;;
    kp_o) piped_sample "$tool" -O --trim large.update 1 ;;
    cat_o) piped_sample cat large.bin ;;
    tar_o) piped_sample bsdtar -xOf large.tar large.bin ;;
  esac
}

# The machine treats the first command of a round differently (the write after another
# tool's large file was removed can be several times slower), so every command of a row
# takes every place in turn. Rows run one after the other, the large files' last: freeing
# their blocks (this file system discards them) slows the file creation that follows.
rows=(
  "kp_null cat_null tar_null"
  "kp_pipe cat_pipe tar_pipe"
  "kp_all cp_all tar_all gnutar_all"
  "kp_spread cp_spread tar_spread gnutar_spread"
  "kp_alt cp_alt tar_alt gnutar_alt"
  "kp_o cat_o tar_o"
  "kp_stream_all tar_stream_all gnutar_stream_all"
  "kp_c gnutar_c tar_c"
  "kp_dall cmp_dall"
  "kp_dtree diff_dtree"
  "kp_dlarge cmp_dlarge"
  "kp_sha sum_sha"
  "kp_x cp_x tar_x"
  "kp_stream_x cat_stream_x tar_stream_x"
  "kp_cx cp_cx tar_cx"
)
declare -A samples
for row in "${rows[@]}"; do
  read -ra names <<<"$row"
  for ((round = 0; round < runs; round++)); do
    for ((place = 0; place < ${#names[@]}; place++)); do
      name=${names[(place + round) % ${#names[@]}]}
      samples[$name]+="$(take_sample "$name")"$'\n'
    done
  done
done

seconds() { cut -d' ' -f1 <<<"${samples[$1]}" | median; }
peak() { echo "$(($(cut -s -d' ' -f2 <<<"${samples[$1]}" | sort -g | tail -1) / 1024)) MiB"; }
ms() { printf '%.2f' "$(echo "scale=4; 1000 * $1 / $batch" | bc)"; }
printf '| case | kpupdate | floor | ×floor | bsdtar | kpupdate ×bsdtar | kpupdate peak RSS |\n'
printf '|---|---|---|---|---|---|---|\n'
for sink in null pipe; do
  kp=$(seconds "kp_$sink")
  floor=$(seconds "cat_$sink")
  peer=$(seconds "tar_$sink")
  label="list 5000 entries, stdout to /dev/null"
  [[ $sink == pipe ]] && label="list 5000 entries, stdout into a pipe"
  printf '| %s | %s ms | %s ms (cat) | %s | %s ms (-tvf) | %s | |\n' "$label" "$(ms "$kp")" "$(ms "$floor")" \
    "$(ratio "$kp" "$floor")" "$(ms "$peer")" "$(ratio "$kp" "$peer")"
done
row() { # label, kpupdate sample, floor sample, floor name, peer sample, peer name
  local kp floor peer
  kp=$(seconds "$2")
  floor=$(seconds "$3")
  peer=$(seconds "$5")
  printf '| %s | %.3f s | %.3f s (%s) | %s | %.3f s (%s) | %s | %s |\n' "$1" "$kp" "$floor" "$4" \
    "$(ratio "$kp" "$floor")" "$peer" "$6" "$(ratio "$kp" "$peer")" "$(peak "$2")"
}
row "extract one 512 MiB entry" kp_x cp_x cp tar_x "-xf"
row "extract all 5000 entries (-q -a -C out)" kp_all cp_all "cp -r" tar_all "-xf"
row "extract 5000 entries in 50 directories" kp_spread cp_spread "cp -r" tar_spread "-xf"
row "extract 5000 entries alternating between 50 directories" kp_alt cp_alt "cp -r" tar_alt "-xf"
row "one 512 MiB entry, -O --trim into a pipe" kp_o cat_o cat tar_o "-xOf"
row "one 512 MiB entry from a pipe (cat big.update | kpupdate -q -a -C out -)" kp_stream_x cat_stream_x \
  "cat | cat > file" tar_stream_x "-xf -"
row "all 5000 entries from a pipe" kp_stream_all gnutar_stream_all "GNU tar -xf -" tar_stream_all "-xf -"
row "create from 4999 files in 50 directories (--create NEW -C tree .)" kp_c gnutar_c "GNU tar -cf" tar_c "-cf"
row "create from one 512 MiB file" kp_cx cp_cx cp tar_cx "-cf"
row2() { # label, kpupdate sample, floor sample, floor name
  local kp floor
  kp=$(seconds "$2")
  floor=$(seconds "$3")
  printf '| %s | %.3f s | %.3f s (%s) | %s | | | %s |\n' "$1" "$kp" "$floor" "$4" "$(ratio "$kp" "$floor")" "$(peak "$2")"
}
row2 "--diff of two 512 MiB entries differing in the last byte" kp_dlarge cmp_dlarge cmp
row2 "--diff of two 5000-entry archives, 50 entries changed" kp_dall cmp_dall "cmp -l"
row2 "--diff of 5000 entries against their extracted tree" kp_dtree diff_dtree "diff -r"
row2 "--sha256 of one 512 MiB entry" kp_sha sum_sha sha256sum
printf '\nGNU tar -xf of the 5000 files: %.3f s (kpupdate %s of it)\n' "$(seconds gnutar_all)" \
  "$(ratio "$(seconds kp_all)" "$(seconds gnutar_all)")"
printf 'GNU tar -xf of the 5000 files in 50 directories: %.3f s (kpupdate %s of it)\n' "$(seconds gnutar_spread)" \
  "$(ratio "$(seconds kp_spread)" "$(seconds gnutar_spread)")"
printf 'GNU tar -xf of the 5000 files alternating between 50 directories: %.3f s (kpupdate %s of it)\n' \
  "$(seconds gnutar_alt)" "$(ratio "$(seconds kp_alt)" "$(seconds gnutar_alt)")"

rm -rf "$files_out"

if command -v strace >/dev/null; then
  for colour in 0 1; do
    writes=$(CLICOLOR_FORCE=$colour strace -f -c -e trace=write "$tool" listing.update 2>&1 >/dev/null |
      awk '$NF == "write" { print $4 }')
    echo "write calls for the listing, CLICOLOR_FORCE=$colour: ${writes:-0}"
  done
fi

peer_table

# Hunt mode: the scan against grep and cat.
"$bench/scan.sh" "$runs"
