#!/bin/sh
# help2man.sh BINDIR PROGRAM VERSION INCLUDE OUTPUT
# Writes OUTPUT (a man page made from PROGRAM's own --help, with the sections
# of INCLUDE) and OUTPUT.gz. PROGRAM runs by its bare name from BINDIR, so the
# usage line reads "flash3-cli", not the build folder's path.
set -eu
bindir=$1 prog=$2 version=$3 include=$4 out=$5
PATH="$bindir:$PATH" help2man --no-info --section=1 --version-string="$version" \
  --include="$include" --output="$out.tmp" "$prog"
mv "$out.tmp" "$out"
gzip -9n -c "$out" > "$out.gz"
