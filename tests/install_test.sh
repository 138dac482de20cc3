#!/bin/sh
# Installs the build into a temporary prefix and checks the result: exactly
# the three programs, their three manual pages and the copyright file arrive,
# the pages unchanged, the copyright file in Debian's machine-readable
# format with the text of LICENSE, and each installed program, run on the bundled example, prints what the
# built one prints, on both streams, with the same exit status.
#
#   install_test.sh CMAKE BUILD_DIR BUILT_NETTALLY BUILT_RECDUMP BUILT_NETBILL BINDIR MANDIR DOCDIR [CONFIG]
#
# BINDIR, MANDIR and DOCDIR are the install directories relative to the prefix;
# CONFIG is the build type to install, for multi-configuration generators.
set -u

if [ $# -ne 8 ] && [ $# -ne 9 ]; then
  echo "usage: $0 CMAKE BUILD_DIR BUILT_NETTALLY BUILT_RECDUMP BUILT_NETBILL BINDIR MANDIR DOCDIR [CONFIG]" >&2
  exit 2
fi
cmake=$1 build=$2 built_nettally=$3 built_recdump=$4 built_netbill=$5 bindir=$6 mandir=$7 docdir=$8
config=${9:-}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/nettally-install.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for dir in "$bindir" "$mandir" "$docdir"; do
  case $dir in
    /*) echo "FAIL: install directories must be relative to the prefix: $dir" >&2
        exit 1 ;;
  esac
done

set -- --install "$build" --strip --prefix "$prefix"
[ -n "$config" ] && set -- "$@" --config "$config"
if ! "$cmake" "$@" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  echo "FAIL: cmake $*" >&2
  exit 1
fi

# Exactly these files: a stray test binary or tool in the install would
# land in every package.
expected=$(printf '%s\n' "$bindir/nettally" "$bindir/recdump" "$bindir/netbill" \
  "$mandir/man1/nettally.1" "$mandir/man1/recdump.1" "$mandir/man1/netbill.1" "$docdir/copyright" | sort)
installed=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
if [ "$installed" != "$expected" ]; then
  fail "installed files differ from the expected list"
  printf 'expected:\n%s\ninstalled:\n%s\n' "$expected" "$installed" >&2
fi

for program in nettally recdump netbill; do
  [ -x "$prefix/$bindir/$program" ] || fail "$bindir/$program is not an executable"
done
for page in tally/nettally.1 dump/recdump.1 bill/netbill.1; do
  installed_page=$prefix/$mandir/man1/$(basename "$page")
  cmp -s "$source_dir/$page" "$installed_page" || fail "$installed_page differs from $page"
done

# The copyright file: the format's header, one Files paragraph for all,
# and after its License line the text of LICENSE below the copyright line,
# every line indented by one blank and an empty one written " .".
copyright=$prefix/$docdir/copyright
head -n 6 "$copyright" >"$work/copyright.head" 2>/dev/null
printf '%s\n' "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "Upstream-Name: nettally" "" "Files: *" "Copyright: 2026 the nettally authors" \
  "License: BSD-2-Clause" >"$work/copyright.want"
cmp -s "$work/copyright.want" "$work/copyright.head" ||
  fail "$docdir/copyright does not start with the expected paragraphs"
tail -n +7 "$copyright" | sed 's/^ \.$//; s/^ //' >"$work/license.got"
tail -n +3 "$source_dir/LICENSE" >"$work/license.want"
if ! cmp -s "$work/license.want" "$work/license.got"; then
  fail "the licence text in $docdir/copyright differs from LICENSE"
  diff "$work/license.want" "$work/license.got" >&2
fi
head -n 1 "$source_dir/LICENSE" | grep -qx 'Copyright (c) 2026 the nettally authors' ||
  fail "LICENSE does not start with its copyright line"
if tail -n +7 "$copyright" | grep -q -v '^ '; then
  fail "$docdir/copyright has unindented lines in the licence text"
fi

# Run both programs in one copy of the example, so that they list its
# flow directory in the same order, and with the build tree out of reach
# of the installed one's working directory.
example=$work/example
if [ ! -d "$build/example/flows" ] || [ ! -f "$build/example/our.nets" ] ||
   [ ! -f "$build/example/custs" ]; then
  echo "FAIL: $build/example is incomplete; build the example target first" >&2
  exit 1
fi
cp -R "$build/example" "$example" || exit 1
run() {  # run NAME PROGRAM ARG: streams to $work/NAME.out and .err, status to .status
  (cd "$example" && TZ=UTC "$2" "$3" >"$work/$1.out" 2>"$work/$1.err"; echo $? >"$work/$1.status")
}
compare() {  # compare PROGRAM BUILT ARG
  run built "$2" "$3"
  run installed "$prefix/$bindir/$1" "$3"
  [ "$(cat "$work/built.status")" = 0 ] ||
    fail "built $1 $3: exit status $(cat "$work/built.status")"
  # An empty output on both sides would compare equal and prove nothing.
  [ -s "$work/built.out" ] || fail "built $1 $3: no output"
  for part in out err status; do
    if ! cmp -s "$work/built.$part" "$work/installed.$part"; then
      case $part in out) what="standard output" ;; err) what="standard error" ;; *) what="exit status" ;; esac
      fail "$1 $3: installed and built differ in $what"
      diff "$work/built.$part" "$work/installed.$part" >&2
    fi
  done
}
compare nettally "$built_nettally" flows
compare nettally "$built_nettally" flows/flow.0900
compare recdump "$built_recdump" flows/flow.0900
compare netbill "$built_netbill" flows

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install: 7 files in $bindir, $mandir/man1 and $docdir; the installed programs match the built ones"
