# shellcheck shell=bash disable=SC2154  # build and source come from the sourcing script
# What tests/api/consumer.c's program prints and writes, against what the command line
# prints; sourced by the scripts that build it, with $build and $source set.
sample=$source/examples/sample.update
listing=$("$build/kpupdate" -l "$sample")
expected=$(printf '%s\n' "$listing" && "$build/kpupdate" --sha256 "$sample" && printf '%s\n%s\n' "$listing" "$listing")

# check_consumer PROGRAM DIR: runs PROGRAM on the sample with DIR, a new directory, for
# what it writes.
check_consumer() {
  mkdir "$2" "$2/tree"
  # shellcheck disable=SC2094  # the sample is read twice, never written
  "$1" "$sample" "$2/tree" "$2/again.update" <"$sample" >"$2/out"
  diff <(printf '%s\n' "$expected") "$2/out"
  cmp "$sample" "$2/again.update"
}
