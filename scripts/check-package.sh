#!/usr/bin/env bash
# Checks the built Debian packages without installing them: lintian finds no
# errors (and not the library warnings that a single package drew), each
# package holds its own files and no other's, its dependencies are those its
# programs need (the command-line package pulls no window toolkit), and the
# programs unpacked into a scratch folder answer their help options.
#   usage: scripts/check-package.sh PACKAGE.deb...   (all of one build: build-deb/*.deb)
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: $0 PACKAGE.deb..." >&2; exit 2; }
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

declare -A deb_of=()
for deb in "$@"; do
  [ -f "$deb" ] || { echo "check-package: no package $deb" >&2; exit 1; }
  deb_of[$(dpkg-deb -f "$deb" Package)]=$deb
done
for p in libkp28wrap1 libkp28wrap-dev kp28-tools; do
  [ -n "${deb_of[$p]:-}" ] || fail "no package $p among: $*"
done
[ $failures -eq 0 ] || exit 1
gui=${deb_of[kp28-setup-tool]:-}
version=$(dpkg-deb -f "${deb_of[kp28-tools]}" Version)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

echo "== lintian $*"
lintian_out=$(lintian --fail-on error "$@" 2>&1) || fail "lintian reports errors"
[ -z "$lintian_out" ] || echo "$lintian_out"
for tag in package-name-doesnt-match-sonames link-to-shared-library-in-wrong-package; do
  if grep -q "$tag" <<<"$lintian_out"; then fail "lintian still warns $tag"; fi
done

files_of() { dpkg-deb -c "$1" | awk '{print $6}' | sed -e 's|^\./|/|' -e 's|/$||'; }
has_files() { # PACKAGE FILE...
  local p=$1 files
  shift
  files=$(files_of "${deb_of[$p]}")
  for f in "$@"; do grep -qxF "$f" <<<"$files" || fail "$p lacks $f"; done
}
lacks_files() { # PACKAGE REGEX: no file of the package matches
  local hits
  hits=$(files_of "${deb_of[$1]}" | grep -E "$2" || true)
  [ -z "$hits" ] || fail "$1 holds files of another package: $hits"
}
depends_on() { # PACKAGE DEP...
  local p=$1 depends
  shift
  depends=$(dpkg-deb -f "${deb_of[$p]}" Depends)
  for d in "$@"; do grep -qE "(^|, )$d( |,|$)" <<<"$depends" || fail "$p: Depends lacks $d ($depends)"; done
}
section_is() { [ "$(dpkg-deb -f "${deb_of[$1]}" Section)" = "$2" ] || fail "$1: section is not $2"; }

for p in "${!deb_of[@]}"; do
  echo "$p: Depends: $(dpkg-deb -f "${deb_of[$p]}" Depends)"
  has_files "$p" "/usr/share/doc/$p/copyright" "/usr/share/doc/$p/changelog.gz"
  if files_of "${deb_of[$p]}" | grep -q '_test$\|/bench_\|/fuzz_'; then fail "$p: tests or benchmarks in it"; fi
done

lib="/usr/lib/$arch"
# The runtime library alone, registered with ldconfig and a shlibs entry.
has_files libkp28wrap1 "$lib/libkp28wrap.so.1.0.0" "$lib/libkp28wrap.so.1"
lacks_files libkp28wrap1 '\.so$|\.h$|\.pc$|/bin/'
depends_on libkp28wrap1 libc6 libstdc\\+\\+6
section_is libkp28wrap1 libs
dpkg-deb -I "${deb_of[libkp28wrap1]}" shlibs | grep -qx "libkp28wrap 1 libkp28wrap1 (= $version)" ||
  fail "libkp28wrap1: no shlibs entry"
dpkg-deb -I "${deb_of[libkp28wrap1]}" triggers | grep -q ldconfig || fail "libkp28wrap1: no ldconfig trigger"

# What a client builds with; the pkg-config file finds the tree from its own place.
has_files libkp28wrap-dev /usr/include/kp28wrap.h "$lib/libkp28wrap.so" "$lib/pkgconfig/kp28wrap.pc"
lacks_files libkp28wrap-dev '\.so\.|/bin/'
depends_on libkp28wrap-dev "libkp28wrap1 \\(= $version\\)"
section_is libkp28wrap-dev libdevel

# The console programs, the udev rules and their man pages, without a window toolkit.
has_files kp28-tools /usr/bin/Kp28FWUpdate /usr/bin/kp28fwupdate /usr/bin/kp28setup /usr/bin/kp28sim \
  /lib/udev/rules.d/70-kp28.rules /usr/share/man/man1/kp28setup.1.gz /usr/share/man/man1/Kp28FWUpdate.1.gz \
  /usr/share/man/man1/kp28fwupdate.1.gz /usr/share/man/man1/kp28sim.1.gz \
  /usr/share/ansible/plugins/modules/kp28setup.py
lacks_files kp28-tools 'libkp28wrap|KP28Plus_Remote_Setup_Tool|\.h$|\.desktop$'
depends_on kp28-tools "libkp28wrap1 \\(= $version\\)" libc6 libcurl4 libstdc\\+\\+6
if dpkg-deb -f "${deb_of[kp28-tools]}" Depends Recommends | grep -qiE 'qt|libgl|libx11|gtk|mesa'; then
  fail "kp28-tools depends on a window toolkit"
fi
dpkg-deb -I "${deb_of[kp28-tools]}" postinst | grep -q 'udevadm' || fail "kp28-tools: no udev reload"

if [ -n "$gui" ]; then
  has_files kp28-setup-tool /usr/bin/KP28Plus_Remote_Setup_Tool \
    /usr/share/applications/kp28plus-remote-setup-tool.desktop \
    /usr/share/icons/hicolor/scalable/apps/kp28plus-remote-setup-tool.svg \
    /usr/share/man/man1/KP28Plus_Remote_Setup_Tool.1.gz
  lacks_files kp28-setup-tool 'libkp28wrap|/usr/bin/[Kk]p28|udev'
  # Qt, the SVG plug-in for its pictures, the updater it runs and the library it loads.
  depends_on kp28-setup-tool libqt6widgets6 libqt6svg6 "kp28-tools \\(= $version\\)" "libkp28wrap1 \\(= $version\\)"
fi

# Everything installing the command-line package can bring, Recommends
# included, whatever this machine has installed already (apt's package lists,
# no download).
deps=$(dpkg-deb -f "${deb_of[kp28-tools]}" Depends | tr ',' '\n' | sed -e 's/(.*)//' -e 's/ //g' | grep -v '^libkp28wrap1$')
# shellcheck disable=SC2086
if closure=$(apt-cache depends --recurse --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances \
  $deps 2>/dev/null | grep -v '^ ' | sort -u) && [ -n "$closure" ]; then
  echo "kp28-tools can bring $(wc -l <<<"$closure") packages"
  if grep -iE 'qt|libgl|libx11|gtk|mesa|llvm' <<<"$closure"; then fail "installing kp28-tools pulls a window toolkit"; fi
else
  echo "check-package: apt knows none of kp28-tools' dependencies here (no package lists?); the closure was not checked"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kp28deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
for deb in "$@"; do dpkg-deb -x "$deb" "$scratch"; done
for exe in kp28setup Kp28FWUpdate kp28sim ${gui:+KP28Plus_Remote_Setup_Tool}; do
  if readelf -d "$scratch/usr/bin/$exe" | grep -q 'R\(UN\)\?PATH'; then fail "$exe carries a run path"; fi
done
grep -q '^prefix=${pcfiledir}/' "$scratch$lib/pkgconfig/kp28wrap.pc" || fail "kp28wrap.pc names a fixed prefix"
export LD_LIBRARY_PATH="$scratch$lib"
"$scratch/usr/bin/kp28setup" --help >/dev/null || fail "kp28setup --help"
usage='Kp28FWUpdate [-help] [-r]'
for h in -help --help -h; do
  out=$("$scratch/usr/bin/Kp28FWUpdate" "$h") || fail "Kp28FWUpdate $h exits $?"
  grep -qF "$usage" <<<"$out" || fail "Kp28FWUpdate $h prints no usage"
done
if [ -n "$gui" ]; then
  # The help needs no display.
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$scratch/usr/bin/KP28Plus_Remote_Setup_Tool" --help 2>&1) ||
    fail "KP28Plus_Remote_Setup_Tool --help without a display: $out"
  grep -q -- '--screenshot' <<<"$out" || fail "KP28Plus_Remote_Setup_Tool --help prints no options"
fi

if [ $failures -ne 0 ]; then
  echo "check-package: $failures failures" >&2
  exit 1
fi
echo "check-package: $* are fine"
