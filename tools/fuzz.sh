#!/usr/bin/env bash
# Builds the patch reader natively with libFuzzer and runs it for a bounded time (seconds, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
out=build-fuzz
mkdir -p "$out/corpus" "$out/findings"
flags=(-std=c++17 -O1 -g -Wall -Wextra -Isrc -Itests/fuzz)
clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    tests/fuzz/delta_apply_fuzz.cpp src/update/delta_patch.cpp -lz -o "$out/delta_apply_fuzz"
clang++ "${flags[@]}" tests/fuzz/delta_seeds.cpp src/publisher/delta_create.cpp -lz -o "$out/delta_seeds"
"$out/delta_seeds" "$out/corpus"
# Inputs past 64 KiB add nothing a smaller one cannot reach; a run that takes a second is a hang.
"$out/delta_apply_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=1 -rss_limit_mb=256 \
    -artifact_prefix="$out/findings/" "$out/corpus"
