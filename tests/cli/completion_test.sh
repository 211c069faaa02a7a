#!/usr/bin/env bash
# The completion script in bash with Debian's bash-completion loaded, the words filled
# in as bash fills them ('=' a word of its own):
#   tests/cli/completion_test.sh COMPLETION_SCRIPT BINARY_DIR SAMPLE
set -u
# Without Debian's bash-completion there is nothing to run the script in: a skip.
[[ -f /usr/share/bash-completion/bash_completion ]] || exit 77
source /usr/share/bash-completion/bash_completion || exit 1
source "$1" || exit 1
PATH=$(cd "$2" && pwd):$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$3" "$work/a.update"
mkdir "$work/out" "$work/fw"
touch "$work/notes.txt"
cd "$work" || exit 1

status=0
# expect "REPLIES" POINT CWORD LINE WORD...: completing word CWORD, the cursor at POINT
# (-1: at the end of LINE)
expect() {
    local wanted=$1
    COMP_POINT=$2 COMP_CWORD=$3 COMP_LINE=$4
    ((COMP_POINT < 0)) && COMP_POINT=${#COMP_LINE}
    shift 4
    COMP_WORDS=("$@")
    COMPREPLY=()
    # compopt works only inside a completion that bash itself started
    _kpupdate kpupdate "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    local got="${COMPREPLY[*]}"
    wanted=${wanted% }
    if [[ $got != "$wanted" ]]; then
        echo "FAIL: '$COMP_LINE' gave '$got', not '$wanted'"
        status=1
    fi
}
expect "--color --color= " 14 1 "kpupdate --col" kpupdate --col
expect "--directory= " -1 1 "kpupdate --dir" kpupdate --dir
expect "--skip-old-files " -1 1 "kpupdate --sk" kpupdate --sk
expect "always never auto " -1 3 "kpupdate --color=" kpupdate --color = ""
expect "never " -1 3 "kpupdate --progress=n" kpupdate --progress = n
expect "fw out " -1 2 "kpupdate -C " kpupdate -C ""
expect "a.update fw out notes.txt " -1 3 "kpupdate --diff=" kpupdate --diff = ""
expect "0 1 2 3 4 5 6 " -1 4 "kpupdate --diff x a.update " kpupdate --diff x a.update ""
expect "a.update fw out " -1 1 "kpupdate " kpupdate ""
expect "notes.txt " -1 1 "kpupdate no" kpupdate no
expect "kernel.img kernel-backup.img " 15 2 "kpupdate -n ker a.update" kpupdate -n ker a.update
expect "bootloader.bin bootloader-old.bin bootloader-copy.bin " 20 3 "kpupdate --name=boot a.update" \
    kpupdate --name = boot a.update
expect "release-notes.txt " 14 2 "kpupdate -I re a.update" kpupdate -I re a.update
expect "release-notes.txt " 21 2 "kpupdate --exclude re a.update" kpupdate --exclude re a.update
expect "--sha256 " -1 1 "kpupdate --sh" kpupdate --sh
expect "--create " -1 1 "kpupdate --cr" kpupdate --cr
expect "a.update fw out notes.txt " -1 3 "kpupdate -c new " kpupdate -c new ""
expect "a.update fw out notes.txt " -1 4 "kpupdate --create new a.update " kpupdate --create new a.update ""
expect "a.update fw out notes.txt " -1 3 "kpupdate --manifest=" kpupdate --manifest = ""
expect "0 1 2 3 4 5 6 " -1 3 "kpupdate -q a.update " kpupdate -q a.update ""
expect "0 1 2 3 4 5 6 " -1 4 "kpupdate -p 1 a.update " kpupdate -p 1 a.update ""
expect "a.update fw out " -1 3 "kpupdate -n x " kpupdate -n x ""
expect "" -1 4 "kpupdate -q a.update 1 " kpupdate -q a.update 1 ""
# A word completed before FILE, the cursor in the blank before it, still reads FILE.
expect "bootloader.bin kernel.img settings.ini kernel-backup.img bootloader-old.bin bootloader-copy.bin release-notes.txt " \
    12 2 "kpupdate -n  a.update" kpupdate -n a.update
# Names with quotes, blanks, backslashes and line feeds, raw as file names are: readline
# quotes them. The archive is written here byte by byte: three empty files.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
record() { printf '%s' "$1"; head -c $((88 - $(printf '%s' "$1" | wc -c))) /dev/zero; printf "$(le32 "$2")$(le32 "$3")"; head -c 32 /dev/zero; }
{ record v 4 1; record "it's.bin" 1 0; record 'back\slash.bin' 2 0; record 'sp ace.bin' 3 0; record $'nl\nx.bin' 4 0; } >odd.update
expect "it's.bin " 14 2 "kpupdate -n it odd.update" kpupdate -n it odd.update
expect "it's.bin " 16 2 "kpupdate -n it\\' odd.update" kpupdate -n "it\\'" odd.update
expect "back\\slash.bin " 16 2 "kpupdate -n back odd.update" kpupdate -n back odd.update
expect "sp ace.bin " 15 2 "kpupdate -n 'sp odd.update" kpupdate -n "'sp" odd.update
expect $'nl\nx.bin ' 14 2 "kpupdate -n nl odd.update" kpupdate -n nl odd.update
# Options after FILE, as the options themselves take them.
expect "kernel.img kernel-backup.img " -1 4 "kpupdate a.update -q -n ker" kpupdate a.update -q -n ker
expect "0 1 2 3 4 5 6 " -1 3 "kpupdate a.update -q " kpupdate a.update -q ""
expect "" -1 3 "kpupdate a.update 3 " kpupdate a.update 3 ""
# tar's habits: names after FILE, -f FILE and -x; numbers for --index and --position;
# --create's PATHs under -C DIR.
expect "kernel.img kernel-backup.img " -1 2 "kpupdate a.update ker" kpupdate a.update ker
expect "settings.ini " -1 3 "kpupdate a.update kernel.img se" kpupdate a.update kernel.img se
expect "bootloader.bin kernel.img settings.ini kernel-backup.img bootloader-old.bin bootloader-copy.bin release-notes.txt " \
    -1 3 "kpupdate -xf a.update " kpupdate -xf a.update ""
expect "kernel.img kernel-backup.img " -1 4 "kpupdate -x -f a.update k" kpupdate -x -f a.update k
expect "0 1 2 3 4 5 6 " 12 2 "kpupdate -p  a.update" kpupdate -p a.update
expect "0 1 2 3 4 5 6 " -1 3 "kpupdate a.update --index " kpupdate a.update --index ""
expect "5 " -1 3 "kpupdate a.update --position 5" kpupdate a.update --position 5
expect "a.update odd.update fw out " -1 2 "kpupdate -f " kpupdate -f ""
expect "--padded " -1 1 "kpupdate --pad" kpupdate --pad
expect "--extract " -1 1 "kpupdate --ext" kpupdate --ext
expect "--file= --files-from= --filler= " -1 1 "kpupdate --fil" kpupdate --fil
mkdir -p rootfs/etc rootfs/boot
touch rootfs/etc.conf
expect "etc/ etc.conf " -1 5 "kpupdate -c new.update -C rootfs e" kpupdate -c new.update -C rootfs e
expect "boot/ " -1 6 "kpupdate --create new.update --directory=rootfs b" kpupdate --create new.update --directory = rootfs b
# An update file inside another is read from --offset, however it is written.
{ head -c 777 /dev/zero; cat a.update; } >fw/dump.bin
expect "kernel.img kernel-backup.img " -1 5 "kpupdate --offset 777 fw/dump.bin -n ker" \
    kpupdate --offset 777 fw/dump.bin -n ker
expect "0 1 2 3 4 5 6 " -1 5 "kpupdate fw/dump.bin --offset=0x309 " kpupdate fw/dump.bin --offset = 0x309 ""
expect "" -1 2 "kpupdate --offset " kpupdate --offset ""
expect "" -1 3 "kpupdate fw/dump.bin -n " kpupdate fw/dump.bin -n ""
# Standard input and a FIFO are the command's to read: completion never opens them.
mkfifo fifo
expect "" -1 3 "kpupdate -q fifo " kpupdate -q fifo ""
expect "" -1 3 "kpupdate -q - " kpupdate -q - ""
exit $status
