#!/usr/bin/env bash
# The install tree: `cmake --install` with DESTDIR into a fresh folder puts
# each file in its GNU place and nothing of the tests or benchmarks; the
# pkg-config file builds and links a C client of the library; each man page
# holds its program's --help as the installed program prints it. Then the
# tree installed by a plain user with --prefix into another folder than the
# configured one: nothing lands outside it, a C client builds there through
# pkg-config alone, and the installed kp28setup and window find the installed
# library. Exit 77 (skipped) when that user cannot be had.
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
root="$dest$prefix"
# udev's own place for the prefix /usr, else the prefix's lib/udev/rules.d.
if [ "$prefix" = /usr ]; then rulesdir=/lib/udev/rules.d; else rulesdir=$prefix/lib/udev/rules.d; fi

# Files and their places.
want=(
  "$bindir/Kp28FWUpdate" "$bindir/kp28fwupdate" "$bindir/kp28setup" "$bindir/kp28sim"
  "$libdir/libkp28wrap.so.1.0.0" "$libdir/libkp28wrap.so.1" "$libdir/libkp28wrap.so"
  "include/kp28wrap.h" "$libdir/pkgconfig/kp28wrap.pc"
  share/man/man1/Kp28FWUpdate.1.gz share/man/man1/kp28fwupdate.1.gz
  share/man/man1/kp28setup.1.gz share/man/man1/kp28sim.1.gz share/ansible/plugins/modules/kp28setup.py
  share/doc/kp28-tools/copyright share/doc/kp28-tools/changelog.gz
  share/doc/libkp28wrap1/copyright share/doc/libkp28wrap-dev/copyright
)
if [ "$gui" = 1 ]; then
  want+=("$bindir/KP28Plus_Remote_Setup_Tool" share/applications/kp28plus-remote-setup-tool.desktop
    share/icons/hicolor/scalable/apps/kp28plus-remote-setup-tool.svg
    share/man/man1/KP28Plus_Remote_Setup_Tool.1.gz share/doc/kp28-setup-tool/copyright)
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
# Nothing outside the prefix.
outside=$(cd "$dest" && find . ! -type d | sed 's|^\.||' | grep -v "^$prefix/" || true)
[ -z "$outside" ] || fail "installed outside the prefix $prefix: $outside"
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
# The updater's help by every spelling a user tries, exit status 0.
for h in -help --help -h; do
  out=$("$root/$bindir/Kp28FWUpdate" "$h") || fail "Kp28FWUpdate $h exits $?"
  grep -qF 'Kp28FWUpdate [-help] [-r]' <<<"$out" || fail "Kp28FWUpdate $h prints no usage: $out"
done
if [ "$gui" = 1 ]; then
  # The window's help needs no display.
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/$bindir/KP28Plus_Remote_Setup_Tool" --help 2>&1) ||
    fail "KP28Plus_Remote_Setup_Tool --help without a display: $out"
  grep -q -- '--screenshot' <<<"$out" || fail "KP28Plus_Remote_Setup_Tool --help lacks its options: $out"
fi

# --- Installed by a plain user with --prefix into another folder ---
skipped=
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  for p in setpriv runuser; do command -v "$p" >/dev/null || continue
    case $p in
      setpriv) try=(setpriv --reuid=65534 --regid=65534 --clear-groups --) ;;
      runuser) try=(runuser -u nobody --) ;;
    esac
    if "${try[@]}" true 2>/dev/null; then as_user=("${try[@]}"); break; fi
  done
  [ ${#as_user[@]} -gt 0 ] || skipped="no way to run as a plain user (setpriv or runuser)"
fi
if [ -z "$skipped" ]; then
  other="$dest/elsewhere"
  mkdir -p "$other"
  # The user's own folder and (as in a build tree of the user's own) the
  # install manifest that cmake --install writes in the build tree.
  manifest="$build/install_manifest.txt"
  if [ ${#as_user[@]} -gt 0 ]; then
    chmod 755 "$dest"
    chown 65534:65534 "$other"
    touch "$manifest" && chown 65534:65534 "$manifest"
  fi
  run() { "${as_user[@]}" env HOME="$other" "$@"; }
  if ! run cmake --install "$build" --prefix "$other/prefix" >"$other.log" 2>&1; then
    cat "$other.log"
    fail "cmake --install --prefix as a plain user failed"
  fi
  [ ${#as_user[@]} -gt 0 ] && chown 0:0 "$manifest"
  top="$other/prefix"
  [ -f "$top/lib/udev/rules.d/70-kp28.rules" ] || fail "the udev rules are not under the prefix"
  for f in "$bindir/kp28setup" "$libdir/libkp28wrap.so.1" "$libdir/pkgconfig/kp28wrap.pc"; do
    [ -e "$top/$f" ] || fail "--prefix install lacks $f"
  done
  # Every installed program's run path leads to the installed library.
  programs=(Kp28FWUpdate kp28setup kp28sim)
  [ "$gui" = 1 ] && programs+=(KP28Plus_Remote_Setup_Tool)
  for x in "${programs[@]}"; do
    runpath=$(readelf -d "$top/$bindir/$x" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
    found=
    IFS=: read -ra dirs <<<"$runpath"
    for d in "${dirs[@]}"; do
      d=${d//\$ORIGIN/$top/$bindir}
      [ -e "$d/libkp28wrap.so.1" ] && [ "$(realpath "$d")" = "$(realpath "$top/$libdir")" ] && found=1
    done
    [ -n "$found" ] || fail "$x: its run path '$runpath' does not lead to $top/$libdir"
  done

  # A C client built through pkg-config alone, run with the libdir it names.
  cp "$dest/client.c" "$other/client.c"
  chmod 644 "$other/client.c"
  if flags=$(run env PKG_CONFIG_PATH="$top/$libdir/pkgconfig" pkg-config --cflags --libs kp28wrap); then
    libdir_pc=$(run env PKG_CONFIG_PATH="$top/$libdir/pkgconfig" pkg-config --variable=libdir kp28wrap)
    [ "$(realpath "$libdir_pc")" = "$(realpath "$top/$libdir")" ] || fail "kp28wrap.pc names libdir $libdir_pc"
    san=$(cache KP28_SANITIZE)
    [ -n "$san" ] && flags="$flags -fsanitize=$san"
    # shellcheck disable=SC2086
    if run cc -std=c99 -Wall -Werror -o "$other/client" "$other/client.c" $flags "-Wl,-rpath,$libdir_pc"; then
      mkdir -p "$other/empty-root"
      out=$(run env KP28_SYSROOT="$other/empty-root" "$other/client") || fail "the relocated client failed"
      [ "$out" = "list=0x401 no printers found" ] || fail "the relocated client printed '$out'"
    else
      fail "the C client does not build against the relocated tree with: $flags"
    fi
  else
    fail "pkg-config does not know kp28wrap in the relocated tree"
  fi

  # The installed kp28setup reaches the USB printer of a virtual printer
  # through the installed library, without being told where it is.
  sim_root="$other/sim-root"
  exec {sim_out}< <(run "$top/$bindir/kp28sim" --sysroot "$sim_root" --no-serial --no-parallel --no-tcp </dev/null 2>&1)
  sim_pid=$!
  usb_node=
  for _ in $(seq 1 200); do
    IFS= read -r -t 30 -u "$sim_out" line || break
    case $line in *"USB printer"*) usb_node=${line##* }; break ;; esac
  done
  if [ -z "$usb_node" ]; then
    fail "kp28sim from the relocated tree did not start"
  else
    listing=$(run env -u KP28WRAP_LIBRARY KP28_SYSROOT="$sim_root" "$top/$bindir/kp28setup" interfaces) ||
      fail "kp28setup interfaces failed: $listing"
    grep -qP "^USB\t\t$usb_node\$" <<<"$listing" || fail "kp28setup lists no printer behind USB: $listing"
    report=$(cd "$other" && run env -u KP28WRAP_LIBRARY KP28_SYSROOT="$sim_root" "$top/$bindir/kp28setup" doctor) || true
    grep -qF "ok      library: libkp28wrap.so.1  $top/$libdir/libkp28wrap.so.1" <<<"$report" ||
      grep -qF "ok      library: libkp28wrap.so.1  $(realpath "$top/$libdir")/libkp28wrap.so.1" <<<"$report" ||
      fail "kp28setup doctor does not find the installed library: $report"
    # The rules installed with the programs, where udev does not read them:
    # the doctor names the link that puts them where it does.
    if ! ls /etc/udev/rules.d/70-kp28.rules /run/udev/rules.d/70-kp28.rules /usr/local/lib/udev/rules.d/70-kp28.rules \
      /usr/lib/udev/rules.d/70-kp28.rules /lib/udev/rules.d/70-kp28.rules >/dev/null 2>&1; then
      grep -qF "fix: sudo ln -s $top/lib/udev/rules.d/70-kp28.rules /etc/udev/rules.d/70-kp28.rules" <<<"$report" ||
        fail "kp28setup doctor does not say how to link the installed rules: $report"
    fi
  fi
  kill "$sim_pid" 2>/dev/null || true
  exec {sim_out}<&-

  # The installed window starts from the relocated tree and draws itself.
  if [ "$gui" = 1 ]; then
    # The picture goes to a pipe, so that reading it waits for the window.
    shot="$other/window.png"
    mkfifo "$shot"
    [ ${#as_user[@]} -gt 0 ] && chown 65534:65534 "$shot"
    run env QT_QPA_PLATFORM=offscreen KP28_SYSROOT="$other/empty-root" XDG_RUNTIME_DIR="$other" \
      timeout 60 "$top/$bindir/KP28Plus_Remote_Setup_Tool" --screenshot "$shot" --screenshot-after 200 \
      >"$other/window.log" 2>&1 &
    window_pid=$!
    magic=$(timeout 60 head -c 4 "$shot" | od -An -c | tr -d ' ')
    [ "$magic" = '211PNG' ] || fail "the relocated window drew nothing ('$magic'): $(cat "$other/window.log")"
    kill "$window_pid" 2>/dev/null || true
    wait "$window_pid" 2>/dev/null || true
  fi
fi

if [ $failures -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
if [ -n "$skipped" ]; then
  echo "install tree: the plain-user install was skipped: $skipped"
  exit 77
fi
echo "install tree: all checks passed"
