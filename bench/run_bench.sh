#!/usr/bin/env bash
# Measures the real executable beside a reference build of it whose console is
# flushed line by line (as the trace was written before it was buffered), on
# a 1,000,000-record capture, then the in-memory benchmarks and a live run,
# and checks the targets:
#   - end to end at least 20 times faster than the reference, with the
#     console on /dev/null and on a regular file (median of 5 runs each; the
#     output on /dev/null, and shown on a regular file too)
#   - console writes when redirected: every one but the last a full 64 KiB;
#     on a terminal: at most one per record
#   - input reads and output writes of at least 8 KiB on average
#   - peak memory at most 4 MiB, at any input size
#   - the in-memory conversion run above 5 million records per second
#   - the extcap program's pcapng (record numbers) within 1.5x of its PCAP
#   - Wireshark (tshark, dissecting two wpan fields) opening 100,000 records
#     like the sample's through the file reader within 1.5x of opening the
#     converter's PCAP of them (a varied capture shown beside)
#   - live, a record written into an input pipe reaches the console pipe as
#     its block and the output pipe as its packet: median at most 1 ms, worst
#     at most 10 ms
# Usage: bench/run_bench.sh   (needs strace, script, GNU time, bc and tshark:
#                              apt-get install strace bsdutils time bc tshark)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset bench > /dev/null
exe=build/bench/wpan2pcap
reference=build/bench/bench/wpan2pcap_line_flushed
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
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a >= b) ? 1 : 0 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
seconds_of() { # seconds_of CONSOLE COMMAND...: wall seconds of one run, the trace sent to CONSOLE
    local console=$1 start end
    shift
    start=$(date +%s.%N); "$@" > "$console"; end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median_of_5() { for _ in 1 2 3 4 5; do seconds_of "$@"; done | median; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(sed -n 's/^model name\t: //p' /proc/cpuinfo | head -1)"
echo "capture: $big ($(stat -c %s "$big") bytes, 1000000 records)"

# End to end, side by side: the console on /dev/null and on a regular file,
# the output on a regular file as usual, and on /dev/null, where what is left
# is the reading and the console: the output file's own writes (the same for
# both programs) would hide the console's cost.
cat_wall=$(median_of_5 /dev/null cat "$big")
echo "cat INPUT > /dev/null: $(printf '%.3f' "$cat_wall") s"
for output in /dev/null "$work/out.pcap"; do
    for console in /dev/null "$work/trace.txt"; do
        ref_wall=$(median_of_5 "$console" "$reference" "$big" "$output")
        wall=$(median_of_5 "$console" "$exe" "$big" "$output")
        ratio=$(echo "$ref_wall / $wall" | bc -l)
        printf 'output %s, console %s: %.3f s (%.0f records/s); line-flushed reference %.3f s; %.1fx faster\n' \
            "$output" "$console" "$wall" "$(echo "1000000 / $wall" | bc -l)" "$ref_wall" "$ratio"
        if [ "$output" = /dev/null ]; then
            verdict "at least 20x faster than the line-flushed console, console $console" "$(at_least "$ratio" 20)" \
                "$(printf '%.1fx' "$ratio")"
        fi
    done
done
rm -f "$work/trace.txt"

# The extcap program, whole, on a varied capture into /dev/null: pcapng with
# record numbers against the converter's PCAP.
varied=$work/varied-1000000.bin
[ -f "$varied" ] || build/bench/make_capture --kind varied --records 1000000 "$varied"
extcap() { build/bench/wpan2pcap-extcap --capture --extcap-interface wpan2pcap --fifo /dev/null --source "$varied" "$@"; }
pcap_wall=$(median_of_5 /dev/null extcap)
pcapng_wall=$(median_of_5 /dev/null extcap --record-numbers)
pcapng_ratio=$(echo "$pcapng_wall / $pcap_wall" | bc -l)
printf 'extcap, 1000000 varied records to /dev/null: PCAP %.3f s, pcapng with record numbers %.3f s (%.2fx)\n' \
    "$pcap_wall" "$pcapng_wall" "$pcapng_ratio"
verdict "the extcap's pcapng within 1.5x of its PCAP" "$(at_least 1.5 "$pcapng_ratio")" "$(printf '%.2fx' "$pcapng_ratio")"

# tshark opening a record capture through the file reader (found in a private
# home's personal Lua plugin folder, as an installed one is), and opening the
# converter's PCAP of it with the reader loaded all the same, and the extcap
# program's pcapng of it, whose packets carry the same comments, read by
# Wireshark itself: the runs taken in turn, so that a slower moment of the
# machine weighs on all alike. The target is for a capture of frames like
# the sample's, decoded to their last layer, as a sniffer records them; the
# varied capture is shown beside it: its frames mostly end at the MAC header,
# so each packet's fixed costs (the reader's call, Wireshark's handling of a
# packet comment) weigh more there.
reader_home=$work/reader-home
mkdir -p "$reader_home/.local/lib/wireshark/plugins"
cp wireshark_file_reader/wpan2pcap.lua "$reader_home/.local/lib/wireshark/plugins/"
dissect() { # tshark's warning that it runs as root is left out; any other word stays
    env -u XDG_CONFIG_HOME HOME="$reader_home" tshark -r "$1" -T fields -e wpan.src16 -e wpan.dst16 \
        2> >(grep -v '^Running as user' >&2 || true)
}
for kind in sample varied; do
    records=$work/$kind-100000.bin
    [ -f "$records" ] || build/bench/make_capture --kind "$kind" --records 100000 "$records"
    "$exe" "$records" "$work/$kind-100000.pcap" > /dev/null
    build/bench/wpan2pcap-extcap --capture --extcap-interface wpan2pcap --fifo "$work/$kind-100000.pcapng" \
        --source "$records" --record-numbers
    # A reader that read nothing would be fast: the three must show the same fields.
    if ! cmp -s <(dissect "$work/$kind-100000.pcap") <(dissect "$records") ||
        ! cmp -s <(dissect "$work/$kind-100000.pcap") <(dissect "$work/$kind-100000.pcapng"); then
        verdict "the file reader within 1.5x of the PCAP" 0 "tshark shows other fields for the $kind capture"
        continue
    fi
    for _ in 1 2 3 4 5; do
        seconds_of /dev/null dissect "$work/$kind-100000.pcap" >> "$work/tshark-pcap.txt"
        seconds_of /dev/null dissect "$records" >> "$work/tshark-reader.txt"
        seconds_of /dev/null dissect "$work/$kind-100000.pcapng" >> "$work/tshark-pcapng.txt"
    done
    pcap_read=$(median < "$work/tshark-pcap.txt")
    reader_read=$(median < "$work/tshark-reader.txt")
    pcapng_read=$(median < "$work/tshark-pcapng.txt")
    rm -f "$work/tshark-pcap.txt" "$work/tshark-reader.txt" "$work/tshark-pcapng.txt"
    reader_ratio=$(echo "$reader_read / $pcap_read" | bc -l)
    printf 'tshark, 100000 %s records, two wpan fields: the PCAP %.3f s, the record capture through the file reader %.3f s (%.2fx), the pcapng with the same comments %.3f s (%.2fx)\n' \
        "$kind" "$pcap_read" "$reader_read" "$reader_ratio" "$pcapng_read" "$(echo "$pcapng_read / $pcap_read" | bc -l)"
    if [ "$kind" = sample ]; then
        verdict "the file reader within 1.5x of the PCAP" "$(at_least 1.5 "$reader_ratio")" "$(printf '%.2fx' "$reader_ratio")"
    fi
done

# Peak memory, small and large input.
peak_small=$(/usr/bin/time -f %M "$exe" "$small" "$work/out.pcap" 2>&1 > /dev/null | tail -1)
peak_big=$(/usr/bin/time -f %M "$exe" "$big" "$work/out.pcap" 2>&1 > /dev/null | tail -1)
echo "peak memory: $peak_small KiB for 10000 records, $peak_big KiB for 1000000"
verdict "peak memory at most 4 MiB at any input size" \
    "$([ "$peak_small" -le 4096 ] && [ "$peak_big" -le 4096 ] && echo 1 || echo 0)" "$peak_small and $peak_big KiB"

# System calls on the 10,000-record capture, by kind and by file.
strace -f -c -o "$work/strace-summary.txt" "$exe" "$small" "$work/out-small.pcap" > "$work/trace-small.txt"
echo "system calls per record (10000 records, the console a regular file), by kind:"
awk '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        printf "  %-14s %8d calls  %.4f per record\n", $NF, $4, $4 / 10000 }' "$work/strace-summary.txt"
# Per file: -P keeps only the calls on that file. The console is a regular
# file: to /dev/null nothing is traced at all.
io_calls() { # io_calls PROGRAM FILE SYSCALLS -> "calls bytes"
    strace -qq -e trace="$3" -P "$(realpath "$2")" -o "$work/strace-io.txt" "$1" "$small" "$work/out-small.pcap" > "$work/trace-small.txt"
    grep -vE '^\+\+\+|^---' "$work/strace-io.txt" | sed 's/.*= //' | awk '{ n++; if ($1 > 0) s += $1 } END { print n + 0, s + 0 }'
}
touch "$work/trace-small.txt"
read -r console_writes trace_bytes < <(io_calls "$exe" "$work/trace-small.txt" write,writev)
read -r reference_writes _ < <(io_calls "$reference" "$work/trace-small.txt" write,writev)
blocks_of_64k=$(( (trace_bytes + 65535) / 65536 ))
echo "console writes, redirected: $console_writes for $trace_bytes bytes of trace ($blocks_of_64k started blocks of 64 KiB); the reference: $reference_writes"
verdict "redirected, every console write but the last a full 64 KiB" "$([ "$console_writes" -le "$blocks_of_64k" ] && echo 1 || echo 0)" \
    "$console_writes writes for $blocks_of_64k blocks of 64 KiB"
# On a terminal: a pseudo-terminal from script(1); the writes to standard output.
script -qfec "strace -qq -e trace=write,writev -o $work/strace-tty.txt $exe $small $work/out-small.pcap" /dev/null > /dev/null
terminal_writes=$(grep -cE '^(write|writev)\(1,' "$work/strace-tty.txt")
echo "console writes on a terminal: $terminal_writes for 10000 records"
verdict "on a terminal, at most one console write per record" "$([ "$terminal_writes" -le 10002 ] && echo 1 || echo 0)" \
    "$terminal_writes = 10000 blocks + $((terminal_writes - 10000))"
read -r reads read_bytes < <(io_calls "$exe" "$small" read)
read -r writes write_bytes < <(io_calls "$exe" "$work/out-small.pcap" write,writev)
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

# Live, through named pipes.
build/bench/bench/live_latency "$exe" 1000 | tee "$work/live.txt"
live_ok=$(awk -F'[ ,]+' '/median/ { for (i = 1; i <= NF; i++) { if ($i == "median") m = $(i + 1); if ($i == "worst") w = $(i + 1) }
                                    if (m > 1000 || w > 10000) bad = 1 } END { print bad ? 0 : 1 }' "$work/live.txt")
verdict "live: median at most 1 ms, worst at most 10 ms, to the console and to the output" "$live_ok" \
    "$(grep -c median "$work/live.txt") measures of 1000 records"

exit $((failures > 0))
