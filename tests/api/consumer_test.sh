#!/usr/bin/env bash
# The library as someone else gets it: installed into a scratch prefix, a C program built
# against it through pkg-config, and what that program prints is the command line's. The
# shared library exports the kp_ names alone.
set -euo pipefail
build=$1 source=$2 sanitize=$3 libdir=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
for component in libkpupdate0 libkpupdate-dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=()
[[ $sanitize == ON ]] && flags=(-fsanitize=address,undefined)
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "${flags[@]}" -o "$prefix/consumer" "$source/tests/api/consumer.c" \
  $(pkg-config --cflags --libs kpupdate) -Wl,-rpath,"$prefix/$libdir"
# shellcheck source=tests/api/consumer_check.sh
source "$source/tests/api/consumer_check.sh"
check_consumer "$prefix/consumer" "$prefix/run"
# Only the interface's names leave the shared library.
others=$(nm -D --defined-only "$prefix/$libdir/libkpupdate.so.0" | awk '{print $3}' | grep -v '^kp_' || true)
if [[ -n $others ]]; then
  echo "exported besides kp_ names:" >&2
  echo "$others" >&2
  exit 1
fi
# The package's symbols file names exactly what is exported.
diff <(nm -D --defined-only "$prefix/$libdir/libkpupdate.so.0" | awk '{print $3}' | sort) \
  <(sed -n 's/^ \([a-z_0-9]*\)@Base .*/\1/p' "$source/packaging/libkpupdate0.symbols" | sort)
echo "a C program built through pkg-config prints what the command line prints"
