#!/usr/bin/env bash
# Tests the Debian package as it would be installed: unpacks DEB into a scratch
# root (dpkg -x) inside SCRATCH and checks its fields and files, the unpacked
# programs, the man pages against each program's --help, the bash completion
# against --help and --list-ports, and lintian.
#   tests/package/test_package.sh DEB SCRATCH
set -uo pipefail
deb=$(realpath "$1")
scratch=$2
src=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$scratch" && mkdir -p "$scratch"
scratch=$(realpath "$scratch")
root=$scratch/root
bin=$root/usr/bin
export TMPDIR=$scratch XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# COM numbers are bound only as each check says.
for v in $(compgen -e | grep '^FLASH3_COM'); do unset "$v"; done

passed=0 failed=0
current=""
group() { current=$1; group_failed=0; }
fail() { echo "  FAIL [$current] $*"; group_failed=1; }
end_group() {
  if [ "$group_failed" -eq 0 ]; then echo "ok   $current"; passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

# Long options that begin an option entry of PROGRAM's --help ("  -p, --port PORT ..."),
# with any short form before them: one "-p, --port" or "--check" a line.
help_entries() {
  "$1" --help | sed -nE 's/^[[:space:]]*((-[[:alnum:]], )?--[[:alnum:]][[:alnum:]-]*).*/\1/p' | sort -u
}

# Completion: runs the completion function for the words given in a plain bash
# with the script sourced alone; prints COMPREPLY, one a line.
complete_words() {
  local func=$1; shift
  bash --norc --noprofile -c '
    source "$1"; func=$2; shift 2
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$root/usr/share/bash-completion/completions/${COMP_FILE:-flash3-cli}" "$func" "$@" |
    sed '/^$/d' | sort
}

#---------------------------------------------------------------------------
group "package fields and contents"
dpkg -x "$deb" "$root" || fail "dpkg -x failed"
field() { dpkg-deb -f "$deb" "$1"; }
name=$(basename "$deb")
version=$(field Version)
[ "$name" = "$(field Package)_${version}_$(field Architecture).deb" ] || fail "file name $name does not match its fields"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(field Architecture)"
[ -n "$(field Section)" ] && [ -n "$(field Priority)" ] || fail "no Section or Priority"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is not 'Name <address>': $(field Maintainer)"
[ -z "$(field Homepage)" ] || fail "a Homepage field"
[ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long text"
# Computed from the binaries: every library they link must be depended on.
for lib in libc6 libqt6core6 libqt6serialport6 libqt6widgets6 libstdc++6; do
  field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$lib" || fail "Depends lacks $lib: $(field Depends)"
done
for f in usr/bin/flash3 usr/bin/flash3-cli usr/bin/flash3-sim \
    usr/share/man/man1/flash3.1.gz usr/share/man/man1/flash3-cli.1.gz usr/share/man/man1/flash3-sim.1.gz \
    usr/share/bash-completion/completions/flash3 usr/share/bash-completion/completions/flash3-cli \
    usr/share/bash-completion/completions/flash3-sim \
    usr/share/doc/flash3/README.md usr/share/doc/flash3/copyright usr/share/doc/flash3/changelog.gz \
    usr/share/doc/flash3/examples/ports.conf usr/share/doc/flash3/examples/sample.pf3 \
    usr/share/doc/flash3/flash3-report.schema.json \
    usr/share/applications/flash3.desktop usr/share/icons/hicolor/scalable/apps/flash3.svg; do
  [ -s "$root/$f" ] || fail "missing or empty: /$f"
done
cmp -s "$root/usr/share/doc/flash3/README.md" "$src/README.md" || fail "README.md differs from the source's"
end_group

#---------------------------------------------------------------------------
group "unpacked programs"
for prog in flash3 flash3-cli flash3-sim; do
  missing=$(ldd "$bin/$prog" 2>&1 | grep 'not found')
  [ -z "$missing" ] || fail "$prog: libraries not found: $missing"
done
out=$("$bin/flash3-cli" --version 2>&1) || fail "flash3-cli --version failed"
[ "$out" = "flash3-cli $version" ] || fail "flash3-cli --version says '$out', the package is $version"
# The example image the package carries is a clean one.
out=$("$bin/flash3-cli" --check "$root/usr/share/doc/flash3/examples/sample.pf3" 2>&1)
rc=$?
[ $rc -eq 0 ] && [[ $out == *"; clean" ]] || fail "--check of the packaged sample.pf3: exit $rc: $out"
# A spoiled copy must be caught, or the clean verdict above means nothing.
sed '3s/T\(.\)\(.\):/T\1G:/' "$src/data/sample.pf3" > "$scratch/spoiled.pf3"
out=$("$bin/flash3-cli" --check "$scratch/spoiled.pf3" 2>&1)
rc=$?
[ $rc -eq 1 ] && [[ $out == *"do not flash"* ]] || fail "--check of a spoiled image: exit $rc: $out"
# The unpacked virtual device and CLI together: a whole run.
"$bin/flash3-sim" --write-sample "$scratch/unit.pf3" --lines 20 || fail "flash3-sim --write-sample failed"
"$bin/flash3-sim" --timeout 60 --link "$scratch/tty" "$scratch/unit.pf3" > "$scratch/sim.out" 2> "$scratch/sim.err" &
sim=$!
for _ in $(seq 100); do [ -s "$scratch/sim.out" ] && break; sleep 0.1; done
FLASH3_COM2=$scratch/tty "$bin/flash3-cli" --quiet --port 2 "$scratch/unit.pf3" > "$scratch/cli.out" 2> "$scratch/cli.err"
rc=$?
[ $rc -eq 0 ] || fail "flash3-cli run against flash3-sim: exit $rc: $(tail -n1 "$scratch/cli.err")"
wait $sim || fail "flash3-sim did not see the whole image: $(cat "$scratch/sim.err")"
end_group

#---------------------------------------------------------------------------
group "man pages"
for prog in flash3 flash3-cli flash3-sim; do
  page=$root/usr/share/man/man1/$prog.1.gz
  text=$(MANWIDTH=100 LC_ALL=C.UTF-8 man --warnings -l "$page" 2> "$scratch/man.err" | col -b)
  [ -s "$scratch/man.err" ] && fail "$prog(1) renders with warnings: $(cat "$scratch/man.err")"
  [[ $text == *"$(echo "$prog" | tr a-z A-Z)(1)"* ]] || fail "$prog(1): no title line"
  sections=("NAME" "SYNOPSIS" "DESCRIPTION" "EXAMPLES" "SEE ALSO")
  [ "$prog" = flash3-sim ] || sections+=("ENVIRONMENT" "FILES")
  [ "$prog" = flash3 ] || sections+=("EXIT STATUS")
  for s in "${sections[@]}"; do
    grep -qx "$s" <<< "$text" || fail "$prog(1) has no $s section"
  done
  [ "$prog" = flash3 ] && continue
  # Every option entry of --help is an entry of the page: a line that begins with it.
  while read -r entry; do
    grep -qE -- "^[[:space:]]+$entry([[:space:],=]|$)" <<< "$text" || fail "$prog(1) lacks the option entry '$entry'"
  done < <(help_entries "$bin/$prog")
  [ "$(help_entries "$bin/$prog" | wc -l)" -ge 3 ] || fail "$prog --help: no option entries found"
  # And the page names no option that --help does not have (on a line that
  # shows the other program, that program's --help).
  while IFS= read -r line; do
    owner=$prog
    for other in flash3-cli flash3-sim; do [[ $line == *"$other "* ]] && owner=$other; done
    for opt in $(grep -oE -- '(^|[^[:alnum:]-])--[[:alpha:]][[:alnum:]-]*' <<< "$line" | sed 's/^[^-]*//'); do
      "$bin/$owner" --help | grep -qE -- "(^|[^[:alnum:]-])$opt([^[:alnum:]-]|$)" ||
        fail "$prog(1) names $opt, which $owner --help does not: $line"
    done
  done < <(grep -E -- '--[[:alpha:]]' <<< "$text")
done
end_group

#---------------------------------------------------------------------------
group "flash3-cli completion"
cli=$bin/flash3-cli
mkdir -p "$scratch/files/sub" && cd "$scratch/files" || exit 1
touch a.pf3 b.PF3 c.txt
offered=$(complete_words _flash3_cli "$cli" --)
while read -r entry; do
  long=${entry##* }
  grep -qx -- "$long" <<< "$offered" || fail "'--' does not offer $long"
done < <(help_entries "$cli")
expected=$(help_entries "$cli" | sed 's/.* //' | grep -- '^--li' | sort)
[ -n "$expected" ] && [ "$(complete_words _flash3_cli "$cli" --li)" = "$expected" ] ||
  fail "'--li' offers '$(complete_words _flash3_cli "$cli" --li)', --help has '$expected'"
# Every speed offered is one that flash3-cli takes; a made-up one is refused.
speeds=$(complete_words _flash3_cli "$cli" -s "")
[ "$(wc -l <<< "$speeds")" -ge 3 ] || fail "'-s' offers too few speeds: $speeds"
for v in $speeds; do
  "$cli" --check -s "$v" "$src/data/sample.pf3" > /dev/null 2>&1 || fail "offered speed $v is refused"
done
"$cli" --check -s 12.3 "$src/data/sample.pf3" > /dev/null 2>&1 && fail "speed 12.3 is taken: the check above proves nothing"
[ "$(complete_words _flash3_cli "$cli" --speed "")" = "$speeds" ] || fail "'--speed' and '-s' offer different speeds"
# COM numbers: those of the ports present, as --list-ports --json gives them.
touch "$scratch/port97"
export FLASH3_COM97=$scratch/port97 FLASH3_COM98=$scratch/missing98
present=$("$cli" --list-ports --json | python3 -c '
import json, sys
print("\n".join(sorted({str(n) for p in json.load(sys.stdin) if p["present"] for n in p["com"]})))')
ports=$(complete_words _flash3_cli "$cli" -p "")
[ "$ports" = "$(sort <<< "$present")" ] || fail "'-p' offers '$ports', the ports present are '$present'"
grep -qx 97 <<< "$ports" || fail "'-p' does not offer COM 97, bound to a file that is there"
grep -qx 98 <<< "$ports" && fail "'-p' offers COM 98, bound to a missing device"
grep -qx COM97 <<< "$(complete_words _flash3_cli "$cli" --port C)" || fail "'--port C' does not offer COM97"
# Where bash only lists the candidates (Tab, Tab Tab), each shows its device,
# and the most Tab can insert (their common start) is digits of the numbers;
# menu completion, which inserts each in turn, gets the numbers alone.
touch "$scratch/port96"
export FLASH3_COM96=$scratch/port96
devices=$("$cli" --list-ports --json | python3 -c '
import json, sys
print("\n".join(sorted({"%d (%s)" % (n, p["device"]) for p in json.load(sys.stdin) if p["present"] for n in p["com"]})))' | sort)
for type in 9 63; do
  listed=$(COMP_TYPE=$type complete_words _flash3_cli "$cli" -p "")
  [ "$listed" = "$devices" ] || fail "'-p' listed (COMP_TYPE $type) shows '$listed', the ports present are '$devices'"
  common=$(python3 -c 'import os, sys; print(os.path.commonprefix(sys.stdin.read().split("\n")))' <<< "$listed")
  [[ $common =~ ^[0-9]*$ ]] || fail "'-p' listed (COMP_TYPE $type): Tab would insert '$common'"
done
grep -qx "96 ($scratch/port96)" <<< "$listed" || fail "'-p' listed does not show COM 96's device: $listed"
grep -qx "COM97 ($scratch/port97)" <<< "$(COMP_TYPE=63 complete_words _flash3_cli "$cli" --port C)" ||
  fail "'--port C' listed does not show COM97's device"
[ "$(COMP_TYPE=63 complete_words _flash3_cli "$cli" -p 97)" = 97 ] || fail "'-p 97' listed is not the number alone"
[ "$(COMP_TYPE=37 complete_words _flash3_cli "$cli" -p "")" = "$(cut -d' ' -f1 <<< "$devices" | sort)" ] ||
  fail "'-p' in menu completion offers more than the numbers"
unset FLASH3_COM96 FLASH3_COM97 FLASH3_COM98
[ "$(complete_words _flash3_cli "$cli" --check "")" = "$(printf 'a.pf3\nb.PF3\nsub\n' | sort)" ] ||
  fail "IMAGE offers '$(complete_words _flash3_cli "$cli" --check "")', not the .pf3 files and the folder"
[ -z "$(complete_words _flash3_cli "$cli" --timeout "")" ] || fail "'--timeout' offers file names"
end_group

#---------------------------------------------------------------------------
group "flash3-sim and flash3 completion"
sim=$bin/flash3-sim
offered=$(COMP_FILE=flash3-sim complete_words _flash3_sim "$sim" --)
while read -r entry; do
  grep -qx -- "${entry##* }" <<< "$offered" || fail "'--' does not offer ${entry##* }"
done < <(help_entries "$sim")
[ "$(COMP_FILE=flash3-sim complete_words _flash3_sim "$sim" --link "")" = "$(printf 'a.pf3\nb.PF3\nc.txt\nsub\n' | sort)" ] ||
  fail "'--link' does not offer every file"
[ "$(COMP_FILE=flash3-sim complete_words _flash3_sim "$sim" --persist "")" = "$(printf 'a.pf3\nb.PF3\nsub\n' | sort)" ] ||
  fail "IMAGE after --persist does not offer the .pf3 files"
[ "$(COMP_FILE=flash3 complete_words _flash3 "$bin/flash3" "")" = "$(printf 'a.pf3\nb.PF3\nsub\n' | sort)" ] ||
  fail "flash3 IMAGE does not offer the .pf3 files"
# bash-completion finds the script by command name where the package puts it.
for prog in flash3 flash3-cli flash3-sim; do
  loaded=$(PATH=$bin:$PATH XDG_DATA_DIRS=$root/usr/share bash --norc --noprofile -c \
    'source /usr/share/bash-completion/bash_completion; __load_completion "$1"; complete -p "$1"' _ "$prog" 2>&1)
  [[ $loaded == "complete -F _${prog//-/_} $prog" ]] || fail "$prog: bash-completion loads '$loaded'"
done
cd "$scratch" || exit 1
end_group

#---------------------------------------------------------------------------
group "lintian"
# Errors and warnings fail; informational tags are shown.
lintian --fail-on error,warning --display-info "$deb" 2>&1 | grep -v 'running with root privileges'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian reports errors or warnings"
end_group

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
