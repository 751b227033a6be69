#!/usr/bin/env bash
# Checks a built Debian package without installing it: lintian finds no
# errors, the control fields and the file list are as the install rules say,
# and the programs unpacked into a scratch folder answer their help options.
#   usage: scripts/check-package.sh PACKAGE.deb
set -euo pipefail

deb=$1
[ -f "$deb" ] || { echo "check-package: no package $deb" >&2; exit 1; }
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

echo "== lintian $deb"
lintian --fail-on error "$deb" || fail "lintian reports errors"

[ "$(dpkg-deb -f "$deb" Package)" = kp28-tools ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libc6 libcurl4 libstdc++6; do
  grep -q "\b$d\b" <<<"$depends" || fail "Depends lacks $d"
done

files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
# The window needs Qt and the SVG plug-in for its pictures.
if grep -qx /usr/bin/KP28Plus_Remote_Setup_Tool <<<"$files"; then
  for d in libqt6widgets6 libqt6svg6; do
    grep -q "\b$d\b" <<<"$depends" || fail "Depends lacks $d"
  done
fi
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in /usr/bin/Kp28FWUpdate /usr/bin/kp28fwupdate /usr/bin/kp28setup /usr/bin/kp28sim \
  "/usr/lib/$arch/libkp28wrap.so.1.0.0" "/usr/lib/$arch/libkp28wrap.so.1" \
  "/usr/lib/$arch/pkgconfig/kp28wrap.pc" /usr/include/kp28wrap.h /lib/udev/rules.d/70-kp28.rules \
  /usr/share/man/man1/kp28setup.1.gz /usr/share/man/man1/Kp28FWUpdate.1.gz \
  /usr/share/doc/kp28-tools/copyright; do
  grep -qxF "$f" <<<"$files" || fail "the package lacks $f"
done
if grep -q '_test$\|/bench_\|/fuzz_' <<<"$files"; then fail "tests or benchmarks in the package"; fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kp28deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
for exe in kp28setup Kp28FWUpdate kp28sim; do
  if readelf -d "$scratch/usr/bin/$exe" | grep -q 'R\(UN\)\?PATH'; then fail "$exe carries a run path"; fi
done
export LD_LIBRARY_PATH="$scratch/usr/lib/$arch"
"$scratch/usr/bin/kp28setup" --help >/dev/null || fail "kp28setup --help"
"$scratch/usr/bin/Kp28FWUpdate" -help >/dev/null || fail "Kp28FWUpdate -help"

if [ $failures -ne 0 ]; then
  echo "check-package: $failures failures" >&2
  exit 1
fi
echo "check-package: $deb is fine"
