#!/usr/bin/env bash
# Runs every fuzz target for a while, starting from its seeds and its
# dictionary; a crash, a leak, undefined behaviour or a hang fails the run.
#   fuzz/run.sh [build dir] [seconds per target] [target...]
# New inputs go to a scratch corpus, so the seeds in the tree stay as they
# are; a failing input is left in the scratch directory and named on stderr.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-build-fuzz}"
seconds="${2:-60}"
shift $(($# < 2 ? $# : 2))
targets=("$@")
((${#targets[@]})) || targets=(screen_fuzz daemon_fuzz cli_fuzz record_fuzz)

scratch="$(mktemp -d "${TMPDIR:-/tmp}/kiv-fuzz.XXXXXX")"
failed=()
for t in "${targets[@]}"; do
    work="$scratch/$t"
    mkdir -p "$work/corpus"
    dict=()
    case "$t" in
        screen_fuzz) dict=(-dict="$here/escapes.dict") ;;
        daemon_fuzz) dict=(-dict="$here/frames.dict") ;;
        cli_fuzz) dict=(-dict="$here/cli.dict") ;;
    esac
    echo "== $t: ${seconds}s"
    if ! "$build/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        "${dict[@]}" -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" "$here/corpus/${t%_fuzz}" >"$work/log" 2>&1; then
        tail -n 60 "$work/log" >&2
        echo "$t failed; inputs and log in $work" >&2
        failed+=("$t")
        continue
    fi
    grep -E '^#[0-9]+.*DONE|^stat::' "$work/log" || true
done
if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
rm -rf "$scratch"
