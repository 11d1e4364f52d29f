#!/bin/sh
# Fuzzes for a bounded time, starting from the seed corpus; fails on any finding.
# usage: run-fuzzer.sh FUZZER SECONDS SEED_DIR WORK_DIR
set -eu
fuzzer=$1 seconds=$2 seeds=$3 work=$4
mkdir -p "$work/corpus" "$work/findings"
exec "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=30 -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$work/corpus" "$seeds"
