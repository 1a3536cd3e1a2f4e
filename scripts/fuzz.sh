#!/usr/bin/env bash
# Bounded libFuzzer runs of every target in tests/fuzz, with the library's objects built with
# the same instrumentation. Each target starts from a scratch copy of its seed corpus, so the
# inputs it finds stay out of the repository. Fails on any crash, leak or sanitizer report.
#   FUZZ_SECONDS=N scripts/fuzz.sh     N seconds per target (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "FUZZ_SECONDS must be a positive number of seconds, not '$seconds'" >&2
    exit 2
fi

scripts/install-deps.sh fuzz

build=build/fuzz
targets=(fuzz_status_report fuzz_line_assembly fuzz_uuid_reply fuzz_homing_lines fuzz_numbers)

# fuzzer-no-link instruments the library's objects for coverage; only the targets link the
# libFuzzer driver itself (tests/fuzz/CMakeLists.txt).
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
      -DKORVANE_SANITIZE=address,undefined -DKORVANE_WARNINGS_AS_ERRORS=ON \
      -DKORVANE_BUILD_FUZZERS=ON -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_TOOLS=OFF \
      -DKORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

scratch="$build/run"
rm -rf "$scratch"
mkdir -p "$scratch"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

summary=()
failed=()
for target in "${targets[@]}"; do
    printf '\n==> %s (%s s)\n' "$target" "$seconds"
    corpus="$scratch/$target/corpus"
    artifacts="$scratch/$target/artifacts"
    log="$scratch/$target/fuzz.log"
    mkdir -p "$corpus" "$artifacts"
    cp -R "tests/fuzz/corpus/$target/." "$corpus/"
    args=(-max_len=4096 -max_total_time="$seconds" -timeout=10 -print_final_stats=1
          -artifact_prefix="$artifacts/")
    dict="tests/fuzz/dictionaries/$target.dict"
    [ -f "$dict" ] && args+=(-dict="$dict")

    status=0
    "$build/tests/fuzz/$target" "${args[@]}" "$corpus" >"$log" 2>&1 || status=$?
    # The whole report on failure; libFuzzer's own progress lines otherwise stay in the log.
    done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
    if [ "$status" -ne 0 ] ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant broken' "$log"; then
        # From the first report on: the progress lines before it say nothing about the fault.
        first="$(grep -nE '==[0-9]+==|runtime error:|invariant broken' "$log" | head -n 1 |
                 cut -d: -f1 || true)"
        tail -n +"${first:-1}" "$log"
        echo "$target FAILED (exit $status); inputs kept in $artifacts" >&2
        failed+=("$target")
        summary+=("$(printf '%-20s FAILED, see %s' "$target" "$log")")
        continue
    fi
    echo "$done_line"
    execs="$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$done_line")"
    cov="$(sed -nE 's/.*cov: ([0-9]+).*/\1/p' <<<"$done_line")"
    ft="$(sed -nE 's/.*ft: ([0-9]+).*/\1/p' <<<"$done_line")"
    summary+=("$(printf '%-20s %10s execs   cov %5s   ft %6s' "$target" "$execs" "$cov" "$ft")")
done

printf '\n==> Fuzzing summary (%s s per target)\n' "$seconds"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "Fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
