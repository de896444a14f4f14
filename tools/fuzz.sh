#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each on its seed corpus
# (fuzz/corpus/<target>/) for a fixed number of runs with a fixed seed.
# Prints one line per target, then "N passed, M failed"; exits 0 only when
# none failed. A crash leaves its input in build-fuzz/artifacts/<target>/.
#
# Environment: QVFLASH_FUZZ_RUNS (default 20000) runs per target.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-fuzz
runs=${QVFLASH_FUZZ_RUNS:-20000}
targets=(scene usb_identity hex_field profile_integer xu_reply xu_unit_info usb_descriptors sidecar
  history)

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DQVFLASH_BUILD_TESTS=OFF -DQVFLASH_FUZZ=ON -DQVFLASH_WERROR=ON >/dev/null || exit 1
cmake --build "$out" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null || {
  cmake --build "$out" -j1 --target "${targets[@]/#/fuzz_}" 2>&1 | tail -30
  exit 1
}

passed=0
failed=0
for t in "${targets[@]}"; do
  art=$out/artifacts/$t
  work=$out/corpus-work/$t  # inputs found on this run; the seeds stay untouched
  rm -rf "$art" "$work"
  mkdir -p "$art" "$work"
  start=$(date +%s)
  if "$out/fuzz/fuzz_$t" -runs="$runs" -seed=1 -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$art/" "$work" "$root/fuzz/corpus/$t" >"$out/$t.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok     $t ($runs runs, $(($(date +%s) - start)) s)"
  else
    failed=$((failed + 1))
    echo "FAILED $t: see $out/$t.log and $art/"
    grep -m3 -E 'ERROR|runtime error|SUMMARY' "$out/$t.log" | sed 's/^/    /'
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
