#!/usr/bin/env bash
# Measures the real executable on a 1,000,000-record capture (trace sent to
# /dev/null) and the in-memory benchmarks, then checks the targets:
#   - exactly 8 console writes per converted record, plus a constant
#   - input reads and output writes of at least 8 KiB per call on average
#   - peak memory under 8 MiB for the 1,000,000-record capture
#   - the in-memory conversion run above 5 million records per second
# Usage: bench/run_bench.sh   (needs strace and GNU time: apt-get install strace time)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset bench > /dev/null
exe=build/bench/wpan2pcap
work=build/bench/data
mkdir -p "$work"
big=$work/capture-1000000.bin
small=$work/capture-10000.bin
[ -f "$big" ] || build/bench/make_capture --records 1000000 "$big"
[ -f "$small" ] || build/bench/make_capture --records 10000 "$small"

failures=0
verdict() { # verdict NAME OK DETAIL
    if [ "$2" = 1 ]; then echo "PASS $1: $3"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds_of() { # wall seconds of one run of the command
    local start end
    start=$(date +%s.%N); "$@" > /dev/null; end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(sed -n 's/^model name\t: //p' /proc/cpuinfo | head -1)"
echo "capture: $big ($(stat -c %s "$big") bytes, 1000000 records)"

# Wall time, median of 5, trace to /dev/null.
wall=$(for _ in 1 2 3 4 5; do seconds_of "$exe" "$big" "$work/out.pcap"; done | median)
cat_wall=$(for _ in 1 2 3 4 5; do seconds_of cat "$big"; done | median)
printf 'wall: %.3f s for 1000000 records (%.0f records/s); cat INPUT > /dev/null: %.3f s; ratio %.0fx\n' \
    "$wall" "$(echo "1000000 / $wall" | bc -l)" "$cat_wall" "$(echo "$wall / $cat_wall" | bc -l)"

# Peak memory.
peak_kib=$(/usr/bin/time -f %M "$exe" "$big" "$work/out.pcap" 2>&1 > /dev/null | tail -1)
printf 'peak memory: %d KiB\n' "$peak_kib"
verdict "peak memory under 8 MiB" "$([ "$peak_kib" -lt 8192 ] && echo 1 || echo 0)" "$peak_kib KiB"

# System calls on the 10,000-record capture, by kind and by file.
strace -f -c -o "$work/strace-summary.txt" "$exe" "$small" "$work/out-small.pcap" > /dev/null
echo "system calls per record (10000 records), by kind:"
awk '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        printf "  %-14s %8d calls  %.4f per record\n", $NF, $4, $4 / 10000 }' "$work/strace-summary.txt"
# Per file: -P keeps only the calls on that file (the console is /dev/null).
io_calls() { # io_calls FILE SYSCALLS -> "calls bytes"
    strace -qq -e trace="$2" -P "$(realpath "$1")" -o "$work/strace-io.txt" "$exe" "$small" "$work/out-small.pcap" > /dev/null
    grep -vE '^\+\+\+|^---' "$work/strace-io.txt" | sed 's/.*= //' | awk '{ n++; if ($1 > 0) s += $1 } END { print n + 0, s + 0 }'
}
read -r console_writes _ < <(io_calls /dev/null write,writev)
read -r reads read_bytes < <(io_calls "$small" read)
read -r writes write_bytes < <(io_calls "$work/out-small.pcap" write,writev)
extra=$((console_writes - 8 * 10000))
echo "console writes: $console_writes for 10000 records (8 per record + $extra)"
verdict "8 console writes per record plus a constant" "$([ "$extra" -ge 0 ] && [ "$extra" -le 8 ] && echo 1 || echo 0)" \
    "$console_writes = 8 x 10000 + $extra"
avg_read=$((read_bytes / (reads > 0 ? reads : 1)))
avg_write=$((write_bytes / (writes > 0 ? writes : 1)))
echo "input: $reads reads, $read_bytes bytes, $avg_read bytes per read; output: $writes writes, $write_bytes bytes, $avg_write bytes per write"
# The count includes the last read, which finds the end of the file.
verdict "input reads of at least 8 KiB on average" "$([ "$avg_read" -ge 8192 ] && echo 1 || echo 0)" "$avg_read bytes"
verdict "output writes of at least 8 KiB on average" "$([ "$avg_write" -ge 8192 ] && echo 1 || echo 0)" "$avg_write bytes"

# In memory.
build/bench/bench/wpan2pcap_bench --benchmark_format=csv --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null |
    awk -F, '$1 ~ /_median"$/ { gsub(/"|_median/, "", $1); printf "%s %.1f %s %.0f\n", $1, $4, $5, $7 }' > "$work/bench.txt"
echo "in memory (median of 5): name, CPU time per iteration, items per second"
sed 's/^/  /' "$work/bench.txt"
run_rate=$(awk '$1 ~ /^conversion_run/ { print $4 }' "$work/bench.txt")
verdict "in-memory conversion run above 5 million records/s" "$(awk -v r="$run_rate" 'BEGIN { print (r > 5000000) ? 1 : 0 }')" \
    "$(awk -v r="$run_rate" 'BEGIN { printf "%.2f million records/s", r / 1e6 }')"

exit $((failures > 0))
