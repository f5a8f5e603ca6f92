#!/usr/bin/env bash
# Runs one test program from a fresh temporary folder of its own: the program is linked (or
# copied) into <folder>/app, which becomes its application folder, and <folder>/tmp becomes its
# TMPDIR. So everything a test writes next to the program ("update.ini", "mirrors.ini",
# sandboxes) or into the temporary folder (download folders) belongs to this run alone, and the
# whole folder is removed afterwards. Local sockets, named after the program's path, are this
# run's own too: in $XDG_RUNTIME_DIR (the user's own), else in <folder>/tmp/QORClientUpdate-<uid>.
set -u
program=$1
shift
name=$(basename "$program")
folder=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX") || exit 1
trap 'rm -rf "$folder"' EXIT
mkdir "$folder/app" "$folder/tmp" || exit 1
ln "$program" "$folder/app/$name" 2>/dev/null || cp -p "$program" "$folder/app/$name" || exit 1
TMPDIR=$folder/tmp "$folder/app/$name" "$@"
