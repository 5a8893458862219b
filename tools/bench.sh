#!/bin/sh
# Prints the cost of a conversion: instructions per input byte (callgrind),
# wall time against cp and against a tr/sed/printf pipeline, peak memory,
# and the body passes' throughput. Figures are printed, not asserted.
#   bench.sh BUILD_DIR   (a Release build with KELVANE_BENCH=ON)
set -eu
build=$(cd "$1" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
kelvane=$build/kelvane
work=$build/bench
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# 12329 lines of 72 characters and a line feed: 900017 bytes.
line='Gale warning: west to northwest winds 35 to 45 knots, seas 6 to 8 m.    '
awk -v line="$line" 'BEGIN { for (i = 0; i < 12329; i++) print line }' >big.txt
printf 'a\n' >tiny.txt
big=$(wc -c <big.txt)
tiny=$(wc -c <tiny.txt)
echo "input: $big bytes of 72-character lines, option 36; machine: $(nproc) cores, $(uname -m)"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /cpu: /' || true

instructions() {
	valgrind --tool=callgrind --callgrind-out-file=/dev/null "$kelvane" 36 "$1" 2>&1 >/dev/null |
		sed -n 's/.*Collected : //p'
}
if command -v valgrind >/dev/null 2>&1; then
	i_big=$(instructions big.txt)
	rm -f BRAX_*
	i_tiny=$(instructions tiny.txt)
	rm -f BRAX_*
	echo "instructions: $i_big for $big bytes, $i_tiny for $tiny bytes"
	awk -v a="$i_big" -v b="$i_tiny" -v x="$big" -v y="$tiny" \
		'BEGIN { printf "instructions per input byte: %.2f (bound 8)\n", (a - b) / (x - y) }'
else
	echo "instructions per input byte: valgrind is not installed"
fi

echo "wall time, median of 300 alternating runs:"
python3 "$tools/wall.py" --remove 'BRAX_*' 300 cp "cp big.txt copy.txt" kelvane "$kelvane 36 big.txt" \
	pipeline "sh $tools/pipeline.sh big.txt pipeline.out"
echo "  (bound: kelvane at most 1.5 x cp; aim: pipeline 5 x kelvane)"
rm -f BRAX_*

bound=$(((2 * big + 2 * 1024 * 1024) / 1024))
if [ -x /usr/bin/time ]; then
	peak=$(/usr/bin/time -f %M "$kelvane" 36 big.txt 2>&1 >/dev/null)
	echo "peak memory: $peak KiB (bound $bound KiB: twice the input plus 2 MiB)"
else
	echo "peak memory: /usr/bin/time is not installed (Debian package time)"
fi

if [ -x "$build/kelvane_body_bench" ]; then
	"$build/kelvane_body_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E '^(BM_|Benchmark|-)'
fi
