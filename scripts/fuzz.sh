#!/usr/bin/env bash
# Builds the libFuzzer targets (gzip decoder, deflate blocks, image
# recognition, parameter description, parameter editor) with clang in
# build-fuzz and runs each for SECONDS (default 60) on the seed corpus and the
# kept regression inputs. New corpus entries stay
# in build-fuzz/corpus; a crash stops the run and leaves its input in
# build-fuzz/artifacts: keep it under fuzz/regressions/<target>/ once fixed.
#   usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(gunzip deflate image_kind description editor); fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}" --target $(printf 'fuzz_%s ' "${targets[@]}")

mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  echo "== fuzz_$t for ${seconds}s =="
  "build-fuzz/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$t-" \
    "build-fuzz/corpus/$t" "fuzz/corpus/$t" "fuzz/regressions/$t"
done
