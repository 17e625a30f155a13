#!/bin/sh
# Installs the build into a scratch prefix and checks what lands there, and
# that the manual page renders without a single warning.
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/imgsmith" || { echo "missing: bin/imgsmith"; exit 1; }
cmp "$prefix/share/man/man1/imgsmith.1" "$source/man/imgsmith.1" || { echo "missing: man page"; exit 1; }
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$prefix/share/man/man1/imgsmith.1" 2>&1)
  [ -z "$warnings" ] || { echo "groff: $warnings"; exit 1; }
fi
if command -v man >/dev/null; then
  warnings=$(MANWIDTH=80 man --warnings=w -l "$prefix/share/man/man1/imgsmith.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "man: $warnings"; exit 1; }
  # The NAME line uses the banner's words.
  MANWIDTH=80 man -l "$prefix/share/man/man1/imgsmith.1" 2>/dev/null | grep -q 'imgsmith - VDI disk image tool'
fi
echo "install layout and manual page: ok"
