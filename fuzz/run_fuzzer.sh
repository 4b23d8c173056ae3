#!/usr/bin/env bash
# Runs one fuzz target for a fixed number of executions from its seed corpus.
#
#   run_fuzzer.sh BINARY SEED_CORPUS WORK_DIR RUNS [libFuzzer options...]
#
# CTest runs every target through it (fuzz/CMakeLists.txt), `./run fuzz`
# for a million runs. The checked-in seed corpus is only read: inputs the
# run finds go to WORK_DIR/corpus, emptied first so that every run starts
# from the same seeds, and a crashing input to WORK_DIR/artifacts/. A
# dictionary fuzz/dict/<target>.dict is used when there is one. The random
# seed is fixed (USERPOLICY_FUZZ_SEED overrides it) so that a failure
# repeats.
#
# Writes "<target> <runs> runs in <seconds> s, <n> exec/s" to
# WORK_DIR/summary and to stdout, and exits with the target's status:
# non-zero when a property broke or a sanitizer reported.
set -euo pipefail
binary=$1 seeds=$2 work=$3 runs=$4
shift 4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
name=$(basename "$binary")

rm -rf "$work/corpus" "$work/summary"
mkdir -p "$work/corpus" "$work/artifacts"
# The longest input: a format or a binary value needs no more than 512 bytes.
case $name in
  wide_format_fuzzer | value_conversion_fuzzer) max_len=512 ;;
  *) max_len=4096 ;;
esac
options=(-runs="$runs" -seed="${USERPOLICY_FUZZ_SEED:-1}" -max_len=$max_len -artifact_prefix="$work/artifacts/"
         -timeout=25 -rss_limit_mb=2048 -print_final_stats=1)
if [ -f "$here/dict/$name.dict" ]; then options+=(-dict="$here/dict/$name.dict"); fi

start=$(date +%s%N)
status=0
"$binary" "${options[@]}" "$@" "$work/corpus" "$seeds" || status=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
if [ $status -eq 0 ]; then
  rate=$(( runs * 1000 / (elapsed_ms > 0 ? elapsed_ms : 1) ))
  printf '%s %d runs in %d.%03d s, %d exec/s\n' "$name" "$runs" $((elapsed_ms / 1000)) $((elapsed_ms % 1000)) \
    "$rate" | tee "$work/summary"
fi
exit $status
