#!/usr/bin/env bash
# The install tree: `cmake --install` with DESTDIR into a fresh folder puts
# each file in its GNU place and nothing of the tests or benchmarks; the
# pkg-config file builds and links a C client of the library; each man page
# holds its program's --help as the installed program prints it.
#   usage: install_tree_test.sh BUILD_DIR GUI   (GUI: 1 when the window is built)
set -euo pipefail

build=$1
gui=${2:-0}
dest=$(mktemp -d "${TMPDIR:-/tmp}/kp28install.XXXXXX")
trap 'rm -rf "$dest"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

DESTDIR="$dest" cmake --install "$build" >"$dest.log" 2>&1 || { cat "$dest.log"; exit 1; }
rm -f "$dest.log"

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cache CMAKE_INSTALL_PREFIX)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
bindir=$(cache CMAKE_INSTALL_BINDIR)
rulesdir=$(cache KP28_UDEV_RULES_DIR)
root="$dest$prefix"

# Files and their places.
want=(
  "$bindir/Kp28FWUpdate" "$bindir/kp28fwupdate" "$bindir/kp28setup" "$bindir/kp28sim"
  "$libdir/libkp28wrap.so.1.0.0" "$libdir/libkp28wrap.so.1" "$libdir/libkp28wrap.so"
  "include/kp28wrap.h" "$libdir/pkgconfig/kp28wrap.pc"
  share/man/man1/Kp28FWUpdate.1.gz share/man/man1/kp28fwupdate.1.gz
  share/man/man1/kp28setup.1.gz share/man/man1/kp28sim.1.gz
  share/doc/kp28-tools/copyright share/doc/kp28-tools/changelog.gz
)
if [ "$gui" = 1 ]; then
  want+=("$bindir/KP28Plus_Remote_Setup_Tool" share/applications/kp28plus-remote-setup-tool.desktop
    share/icons/hicolor/scalable/apps/kp28plus-remote-setup-tool.svg
    share/man/man1/KP28Plus_Remote_Setup_Tool.1.gz)
fi
for f in "${want[@]}"; do
  [ -e "$root/$f" ] || fail "missing $prefix/$f"
done
[ "$(readlink "$root/$bindir/kp28fwupdate")" = Kp28FWUpdate ] || fail "kp28fwupdate is not a link to Kp28FWUpdate"
[ "$(readlink "$root/share/man/man1/kp28fwupdate.1.gz")" = Kp28FWUpdate.1.gz ] || fail "kp28fwupdate.1.gz is not a link"
for x in Kp28FWUpdate kp28setup kp28sim; do
  [ -x "$root/$bindir/$x" ] || fail "$x is not executable"
done
soname=$(objdump -p "$root/$libdir/libkp28wrap.so.1.0.0" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libkp28wrap.so.1 ] || fail "SONAME is '$soname'"
rules="$dest$rulesdir/70-kp28.rules"
if [ -f "$rules" ]; then
  for pid in 0140 a244 8b0d a15f ef15 3a4b; do
    [ "$(grep -c "$pid" "$rules")" -ge 2 ] || fail "the rules miss product $pid"
  done
  grep -q 'SUBSYSTEM=="usbmisc".*ATTRS{idVendor}=="3509".*GROUP="lp".*TAG+="uaccess"' "$rules" || fail "no usblp rule"
  grep -q 'SUBSYSTEM=="tty".*ATTRS{idVendor}=="3509".*GROUP="dialout".*TAG+="uaccess".*ENV{ID_MM_DEVICE_IGNORE}="1"' "$rules" ||
    fail "no CDC port rule"
else
  fail "missing $rulesdir/70-kp28.rules"
fi
# Nothing of the tests or benchmarks.
extra=$(find "$dest" -type f \( -name '*_test' -o -name 'bench_*' -o -name 'fuzz_*' -o -name '*.a' \) -print)
[ -z "$extra" ] || fail "test or benchmark files installed: $extra"

# A C client built with pkg-config alone, run against the installed library.
cat >"$dest/client.c" <<'C'
#include <stdio.h>
#include <kp28wrap.h>
int main(void) {
    const char* paths[KP28_MAX_PRINTERS];
    int capacity = KP28_MAX_PRINTERS;
    int32_t rc = Kp28wrap_list(&capacity, paths);
    char text[128];
    Kp28wrap_geterrno(text, sizeof text);
    printf("list=0x%x %s\n", (unsigned)rc, text);
    return 0;
}
C
export PKG_CONFIG_PATH="$root/$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$dest"
if flags=$(pkg-config --cflags --libs kp28wrap); then
  # shellcheck disable=SC2086
  # A library built with a sanitizer needs its runtime first in the client.
  san=$(cache KP28_SANITIZE)
  [ -n "$san" ] && flags="$flags -fsanitize=$san"
  if cc -std=c99 -Wall -Werror -o "$dest/client" "$dest/client.c" $flags; then
    mkdir -p "$dest/empty-root"
    out=$(LD_LIBRARY_PATH="$root/$libdir" KP28_SYSROOT="$dest/empty-root" "$dest/client") || fail "the client failed"
    [ "$out" = "list=0x401 no printers found" ] || fail "the client printed '$out'"
  else
    fail "the C client does not build with: $flags"
  fi
else
  fail "pkg-config does not know kp28wrap"
fi

# Each man page holds its program's help, line for line, as printed by the
# installed program (with its name in place of its path).
page_text() { zcat "$1" | sed -e 's/\\e/\\/g' -e 's/^\\&//'; }
help_in_page() {
  local page=$1 name=$2
  shift 2
  local help
  help=$("$root/$bindir/$name" "$@" | sed "s|$root/$bindir/$name|$name|g")
  local text
  text=$(page_text "$page")
  while IFS= read -r line; do
    [ -z "$line" ] && continue
    grep -qxF -- "$line" <<<"$text" || fail "$(basename "$page") lacks the line of '$name $*': $line"
  done <<<"$help"
}
man="$root/share/man/man1"
help_in_page "$man/Kp28FWUpdate.1.gz" Kp28FWUpdate -help
help_in_page "$man/kp28sim.1.gz" kp28sim --help
help_in_page "$man/kp28setup.1.gz" kp28setup --help
commands=$("$root/$bindir/kp28setup" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF {print $1}')
[ -n "$commands" ] || fail "kp28setup --help lists no commands"
for c in $commands; do
  help_in_page "$man/kp28setup.1.gz" kp28setup "$c" --help
done
grep -q doctor <<<"$commands" || fail "kp28setup has no doctor command"

if [ $failures -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "install tree: all checks passed"
