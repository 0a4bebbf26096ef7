#!/bin/bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every fuzz target for SECONDS each, one after the other, on a copy of its corpus
# (fuzz/<folder>/corpus/<target>/ and regressions/<target>/), so the repository's corpus
# only grows when merged on purpose. Prints per target: executions, executions per second
# (wall clock and per second of processor time) and findings; exits non-zero when any target found something or could not run.
#
#   scripts/fuzz.sh SECONDS [TARGET...]     (default: every target)
#   FUZZ_BUILD=dir    build folder (default build/fuzz)
#   FUZZ_KEEP=dir     keep the run folders (grown corpora, findings, logs) under dir
#   FUZZ_RUNS=N       also stop a target after N executions (whichever comes first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
build=${FUZZ_BUILD:-build/fuzz}

if [ ! -f "$build/build.ninja" ]; then
  cmake --preset fuzz -B "$build"
fi

# Every target named by a corpus folder, plus any other fuzz program the build makes.
declare -A corpus
for dir in fuzz/*/corpus/*/; do
  [ -d "$dir" ] || continue
  name=$(basename "$dir")
  corpus[$name]=${dir%/}
done
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(
    { printf '%s\n' "${!corpus[@]}"
      cmake --build "$build" --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): phony$/\1/p'
    } | sort -u)
fi
cmake --build "$build" --target "${targets[@]}" -j2 >/dev/null

work=${FUZZ_KEEP:-$(mktemp -d)}
mkdir -p "$work"
[ -n "${FUZZ_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/cmake/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Processor time of each run, where GNU time is there.
timer=""
if [ -x /usr/bin/time ]; then
  timer="/usr/bin/time -f %U_%S -o cpu"
fi

status=0
printf '%-28s %12s %10s %12s %s\n' target executions exec/s exec/cpu-s findings
for t in "${targets[@]}"; do
  bin=$build/bin/$t
  run=$work/$t
  mkdir -p "$run/corpus" "$run/findings"
  if [ -n "${corpus[$t]:-}" ]; then
    cp "${corpus[$t]}"/* "$run/corpus/" 2>/dev/null || true
    regressions=${corpus[$t]%/corpus/*}/regressions/$t
    if [ -d "$regressions" ]; then
      cp "$regressions"/* "$run/corpus/" 2>/dev/null || true
    fi
  fi
  if [ ! -x "$bin" ]; then
    printf '%-28s %12s %10s %12s %s\n' "$t" - - - "not built"
    status=1
    continue
  fi
  # One job: the machine is shared. A hang (-timeout) or an allocation past -rss_limit_mb
  # counts as a finding like a crash does.
  set +e
  (cd "$run" && exec $timer "$root/$bin" -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$run/findings/" corpus \
    >"$run/log" 2>&1)
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/log" | tail -1)
  findings=$(find "$run/findings" -type f | wc -l)
  # On a shared machine the wall-clock rate says more about the load than the target:
  # executions per second of the target's own processor time tell the two apart.
  cpu=$(tail -n 1 "$run/cpu" 2>/dev/null | tr _ ' ' | awk '{ print $1 + $2 }' || echo 0)
  per_cpu=$(awk -v n="${runs:-0}" -v c="$cpu" 'BEGIN { if (c > 0) printf "%d", n / c; else print "-" }')
  note="$findings"
  if [ "$findings" -gt 0 ] || [ "$rc" -ne 0 ]; then
    status=1
    # The temporary folder goes at exit: what was found is kept in the build folder.
    kept=$run
    if [ -z "${FUZZ_KEEP:-}" ]; then
      kept=$build/fuzz-findings/$t
      rm -rf "$kept"
      mkdir -p "$(dirname "$kept")"
      cp -r "$run" "$kept"
    fi
    note="$findings (exit $rc; log and inputs in $kept)"
  fi
  printf '%-28s %12s %10s %12s %s\n' "$t" "${runs:--}" "${rate:--}" "$per_cpu" "$note"
done
exit $status
