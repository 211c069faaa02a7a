#!/usr/bin/env bash
# The README's lines for a scratch prefix, run as they stand: tests/api/consumer.c built
# through kpupdate.pc with an rpath, through kpupdate-static.pc, and by a CMake project in
# C alone through kpupdate::static. Each prints what the command line prints; the two
# static ones need no libkpupdate.so and run with it gone. Skipped (77) where a tool the
# lines call is missing. .ci/run runs it on the release build too, whose objects carry
# link-time code.
set -euo pipefail
build=$1 source=$2 sanitize=$3
for tool in cc cmake pkg-config find readelf ldd; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool" >&2; exit 77; }
done
if ! pkg-config --exists libcrypto; then
  echo "skipped: no libcrypto.pc (libssl-dev), which kpupdate-static.pc requires" >&2
  exit 77
fi
unset LD_LIBRARY_PATH # the shared library is found through the rpath alone
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The lines run from the source directory and install build/release: here that is a
# scratch directory whose build/release is this build.
mkdir -p "$work/build" "$work/app" "$work/bin"
ln -s "$build" "$work/build/release"
awk -v cmake="$work/app/CMakeLists.txt" -v lines="$work/lines.sh" '
  /^```cmake$/ && !part { part = 1; next }
  part == 1 && /^```$/ { part = 2; next }
  part == 2 && /^```sh$/ { part = 3; next }
  part == 3 && /^```$/ { exit }
  part == 1 { print > cmake }
  part == 3 { print > lines }' "$source/README.md"
if ! grep -q kpupdate-static "$work/lines.sh" 2>/dev/null; then
  echo "no scratch-prefix lines after the README's CMake block" >&2
  exit 1
fi
cp "$source/tests/api/consumer.c" "$work/app/list.c"
if [[ $sanitize == ON ]]; then
  # The sanitized build's objects call the sanitizers' runtime: every link of them names it.
  printf '#!/bin/sh\nexec %q -fsanitize=address,undefined "$@"\n' "$(command -v cc)" >"$work/bin/cc"
  chmod +x "$work/bin/cc"
  export PATH=$work/bin:$PATH CC=$work/bin/cc
fi
if ! (cd "$work" && bash -euo pipefail lines.sh) >"$work/lines.log" 2>&1; then
  cat "$work/lines.log" >&2
  exit 1
fi

# shellcheck source=tests/api/consumer_check.sh
source "$source/tests/api/consumer_check.sh"
needs() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'; }
shared=$work/app/list-shared
statics=("$work/app/list-static" "$work/app/build/list")
check_consumer "$shared" "$work/run-shared"
found=$(ldd "$shared")
if [[ $found != *"libkpupdate.so.0 => $work/scratch/"* ]]; then
  echo "the shared program does not find libkpupdate.so.0 in the scratch prefix:" >&2
  echo "$found" >&2
  exit 1
fi
for program in "${statics[@]}"; do
  if needs "$program" | grep '^libkpupdate'; then
    echo "$program needs the shared library" >&2
    exit 1
  fi
done
# Machine code alone: no program's link hands the library to the link-time optimiser.
sections=$(readelf -SW "$(find "$work/scratch" -name libkpupdate.a)")
if [[ $sections == *.gnu.lto_* ]]; then
  echo "the installed libkpupdate.a holds link-time code" >&2
  exit 1
fi
find "$work/scratch" -name 'libkpupdate.so*' -delete
for i in "${!statics[@]}"; do
  check_consumer "${statics[$i]}" "$work/run-static-$i"
done
echo "the README's scratch-prefix lines build three programs that print what the command line prints"
