#!/bin/sh
# Sequential write and read throughput of dd on the temporary directory, next
# to temp_file_bench's figures for the same amount in the same directory.
#
#   bench/platform/file_vs_dd.sh [path/to/temp_file_bench] [MiB]
#
# The benchmark writes and reads in 512-byte pieces through a 64 KiB handle
# buffer. Both write into the page cache without syncing, as work files do, and read
# back what they just wrote.
set -eu

bench=${1:-build/release/bench/platform/temp_file_bench}
mib=${2:-1024}
dir=${TMPDIR:-/tmp}
file="$dir/isort-dd-$$"
trap 'rm -f "$file"' EXIT INT TERM

rate() {  # dd's closing line: "... bytes ... copied, 0.4 s, 2.5 GB/s"
  tail -n 1 | sed 's/.*, //'
}

echo "directory: $dir, $mib MiB"
echo "dd write (bs=1M): $(dd if=/dev/zero of="$file" bs=1M count="$mib" 2>&1 | rate)"
echo "dd read  (bs=1M): $(dd if="$file" of=/dev/null bs=1M 2>&1 | rate)"
rm -f "$file"
echo "dd write (bs=64K): $(dd if=/dev/zero of="$file" bs=64K count=$((mib * 16)) 2>&1 | rate)"
echo "dd read  (bs=64K): $(dd if="$file" of=/dev/null bs=64K 2>&1 | rate)"
rm -f "$file"

# The benchmark counts GiB (2^30); dd counts GB (10^9): convert.
if [ -x "$bench" ]; then
  "$bench" --benchmark_filter='Sequential(Write|Read)/65536' --benchmark_min_time=1 2>/dev/null |
    awk '/real_time/ {
      for (i = 1; i <= NF; ++i) if ($i ~ /^bytes_per_second=/) {
        split($i, kv, "="); rate = kv[2]; unit = substr(rate, length(rate) - 2, 1)
        value = substr(rate, 1, length(rate) - 3) * (unit == "G" ? 1.073741824 : 0.001048576)
        printf "temp file %s: %.1f GB/s\n", $1, value
      }
    }'
else
  echo "no benchmark at $bench: build the target temp_file_bench" >&2
fi
