#!/usr/bin/env bash
# scripts/install-deps.sh against a fake apt: it asks only for what is
# missing, --package brings what CPack needs (file, dpkg-dev), apt's summary
# is shown and the download and dpkg lines are not; make package runs it.
#   usage: install_deps_test.sh SOURCE_DIR
set -euo pipefail

src=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kp28deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# dpkg-query knows the packages named in $work/installed; apt-get records its
# arguments and prints what a real install prints.
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
pkg=$(eval echo \${$#})
grep -qx "$pkg" "$FAKE_APT/installed" && printf 'install ok installed' && exit 0
exit 1
SH
cat >"$work/bin/apt-get" <<'SH'
#!/bin/sh
echo "$*" >>"$FAKE_APT/apt.log"
case " $* " in *" install "*) ;; *) exit 0 ;; esac
cat <<'OUT'
Reading package lists...
Building dependency tree...
The following NEW packages will be installed:
  dpkg-dev file
0 upgraded, 2 newly installed, 0 to remove and 0 not upgraded.
Need to get 1,234 kB of archives.
After this operation, 5,678 kB of additional disk space will be used.
Get:1 http://deb.debian.org/debian bookworm/main amd64 file amd64 1:5.44-3 [42.5 kB]
Get:2 http://deb.debian.org/debian bookworm/main amd64 dpkg-dev all 1.21.22 [1,353 kB]
Fetched 1,234 kB in 0s (9,999 kB/s)
Selecting previously unselected package file.
(Reading database ... 12345 files and directories currently installed.)
Preparing to unpack .../file_1%3a5.44-3_amd64.deb ...
Unpacking file (1:5.44-3) ...
Setting up file (1:5.44-3) ...
Processing triggers for man-db (2.11.2-2) ...
OUT
SH
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*
export FAKE_APT=$work PATH="$work/bin:$PATH"

# Everything there but what packaging needs.
sed -n '/^packages=(/,/^)/p' "$src/scripts/install-deps.sh" | sed '1d;$d' | tr -d ' ' >"$work/installed"
out=$("$src/scripts/install-deps.sh" --package 2>&1) || fail "install-deps --package failed: $out"
install_line=$(grep -E '(^| )install ' "$work/apt.log" || true)
for p in file dpkg-dev; do
  grep -qw -- "$p" <<<"$install_line" || fail "--package does not install $p: $install_line"
done
grep -qw make <<<"$install_line" && fail "an installed package is asked for again: $install_line"
for line in "The following NEW packages will be installed:" "0 upgraded, 2 newly installed" \
  "Need to get 1,234 kB of archives." "After this operation, 5,678 kB of additional disk space will be used."; do
  grep -qF "$line" <<<"$out" || fail "apt's summary line is hidden: $line"
done
for noise in "Get:1 " "Selecting previously" "Preparing to unpack" "Unpacking " "Setting up " "Processing triggers" \
  "(Reading database"; do
  if grep -qF "$noise" <<<"$out"; then fail "dpkg's progress is shown: $noise"; fi
done

# Nothing missing: apt is not called.
rm -f "$work/apt.log"
{ cat "$work/installed"; echo file; echo dpkg-dev; echo binutils; } >"$work/installed.all"
mv "$work/installed.all" "$work/installed"
out=$("$src/scripts/install-deps.sh" --package 2>&1) || fail "install-deps with nothing missing failed: $out"
[ ! -e "$work/apt.log" ] || fail "apt-get was called with nothing missing: $(cat "$work/apt.log")"
[ -z "$out" ] || fail "install-deps printed with nothing missing: $out"

# make package sets up what it needs before CMake runs.
recipe=$(make -n -C "$src" package 2>/dev/null)
first=$(grep -n 'install-deps.sh --package' <<<"$recipe" | head -1 | cut -d: -f1)
cpack=$(grep -n 'cmake --preset package' <<<"$recipe" | head -1 | cut -d: -f1)
[ -n "$first" ] && [ -n "$cpack" ] && [ "$first" -lt "$cpack" ] ||
  fail "make package does not run install-deps.sh --package before configuring: $recipe"

if [ $failures -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "install-deps: all checks passed"
