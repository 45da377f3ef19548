#!/usr/bin/env bash
# Runs the fuzz targets for SECONDS in all, each from its committed corpus, and
# fails on the first finding. The exports target gets half the time (it runs a
# few dozen inputs a second, the others thousands), the other eight share the rest.
# The committed corpus is only read; new inputs go to a scratch folder that is
# removed afterwards. Findings and logs stay in BUILD_DIR.
# Usage: tests/fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
build=$(cd "$1" && pwd)
total=$2
shift 2
targets=("$@")
((${#targets[@]})) || targets=(adpcm talo2wav script voip_sip voip_rtp request_parse fax_image opus_archive exports)
here=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/talo_fuzz_run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
findings="$build/fuzz-findings"
logs="$build/fuzz-logs"
mkdir -p "$findings" "$logs"

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  seconds=$((total / 16))
  [ "$target" = exports ] && seconds=$((total / 2))
  ((seconds > 0)) || seconds=1
  options=(-max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1
           -artifact_prefix="$findings/$target-")
  case $target in
    adpcm | talo2wav | voip_sip | voip_rtp | request_parse) options+=(-max_len=8192) ;;
    fax_image | opus_archive) options+=(-max_len=65536) ;;
    script) options+=(-dict="$here/script.dict") ;;
  esac
  mkdir -p "$scratch/$target" "$scratch/tmp"
  log="$logs/$target.log"
  # The targets' own scratch files (TMPDIR) go with the run.
  # Inputs that once failed are replayed first, with the corpus.
  corpora=("$here/corpus/$target")
  [ -d "$here/regressions/$target" ] && corpora+=("$here/regressions/$target")
  if TMPDIR="$scratch/tmp" "$build/bin/talo_fuzz_$target" "${options[@]}" \
       "$scratch/$target" "${corpora[@]}" >"$log" 2>&1; then
    echo "fuzz $target: $(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}') inputs in ${seconds} s, no finding"
  else
    # The report from its first line (a sanitizer's, libFuzzer's or a target's own check).
    first=$(grep -n -m1 -E '^==[0-9]+==|runtime error|^exports_fuzz:|^INFO: libFuzzer disabled' "$log" | cut -d: -f1)
    sed -n "${first:-1},\$p" "$log" | head -n 80
    echo "fuzz $target: FAILED (log $log; the input is in $findings;" \
         "replay it with $build/bin/talo_fuzz_$target FILE)" >&2
    exit 1
  fi
done
