#!/usr/bin/env bash
# Fails when a source file reaches into a room it may not use, when a file that is not
# one of the Windows halves includes <windows.h>, or when a room that only finds things
# out or writes them (fs, archive, ops, create) prints them: rendering is report's. The
# writers (create) stand beside the readers (ops), which never use them, and use of ops
# only the parts the two share. The faces on the top floor (cli, api, mount) never use
# each other, and the second program (mount) and the bindings outside src use the public
# header alone.
#
#   tests/layout_check.sh SOURCE_DIR
set -euo pipefail
cd "$1/src"

declare -A may_use=(
  [console]="console"
  [fs]="console fs"
  [archive]="console fs archive"
  [ops]="console fs archive ops"
  [create]="console fs archive ops create"
  [report]="console fs archive ops create report"
  [cli]="console fs archive ops create report cli"
  [api]="console fs archive ops create report api"
  [mount]="mount"
)

# What of ops the writers share with the readers: names, patterns, why an entry is not
# written, suggestions, the digest (a manifest's sha256 is checked as a file is copied).
# They use no other part of ops, so that none comes with them.
shared_ops="names pattern entry_problem suggest sha256"

status=0
for room in "${!may_use[@]}"; do
  for file in "$room"/*; do
    for used in $(sed -nE 's|^#include "([a-z_]+)/.*|\1|p' "$file" | sort -u); do
      if [[ " ${may_use[$room]} " != *" $used "* ]]; then
        echo "$file includes from $used/, a room it may not use"
        status=1
      fi
    done
    if [[ $file != *_windows.cpp ]] && grep -q '^#include <windows.h>' "$file"; then
      echo "$file includes <windows.h>"
      status=1
    fi
  done
done
ops_parts() { sed -nE 's|^#include "ops/([a-z_0-9]+)\.h".*|\1|p' "$@" | sort -u; }
for file in create/*; do
  for part in $(ops_parts "$file"); do
    if [[ " $shared_ops " != *" $part "* ]]; then
      echo "$file includes ops/$part.h, which the writers do not share with the readers"
      status=1
    fi
  done
done
for shared in $shared_ops; do
  for part in $(ops_parts ops/"$shared".*); do
    if [[ " $shared_ops " != *" $part "* ]]; then
      echo "ops/$shared includes ops/$part.h: the writers would reach the readers through it"
      status=1
    fi
  done
done
for room in fs archive ops create; do
  if grep -nE '\b(console_print|json_[a-z_]+)\(' "$room"/*; then
    echo "src/$room renders output; that is the report room's work"
    status=1
  fi
done
# The second program is a client of the library like any other: beside its own headers,
# kpupdate.h, libfuse's, the C++ standard library's (no extension) and the system's.
while IFS=: read -r file line; do
  header=$(sed -nE 's/^#[[:space:]]*include[[:space:]]*([<"][^>"]*[>"]).*/\1/p' <<<"$line")
  case $header in
    '"kpupdate.h"' | '"mount/'*'"' | '<fuse3/'*'>' | '<sys/'*'.h>') ;;
    '<'*'>')
      name=${header:1:-1}
      if ! [[ $name =~ ^[a-z_]+$ || $name =~ ^(fcntl|unistd|signal|errno|poll|pthread|limits)\.h$ ]]; then
        echo "$file includes $header: the mount uses kpupdate.h, libfuse and the system alone"
        status=1
      fi
      ;;
    *)
      echo "$file includes $header: the mount uses kpupdate.h, libfuse and the system alone"
      status=1
      ;;
  esac
done < <(grep -HE '^#[[:space:]]*include' mount/*)
for room in *; do
  [[ -d $room && -z ${may_use[$room]+set} ]] && { echo "src/$room is no known room"; status=1; }
done
for file in ../include/* ../python/*.cpp ../tests/api/*.c; do
  if grep -nE '^#include "' "$file" | grep -v '"kpupdate.h"'; then
    echo "$file includes more than the public header"
    status=1
  fi
done
exit $status
