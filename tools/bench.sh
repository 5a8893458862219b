#!/bin/sh
# Prints the cost of a conversion: instructions per input byte (callgrind),
# wall time against cp and against a tr/sed/printf pipeline, kelvane-send
# against kelvane and a bare curl, a backlog drained by kelvane-send
# against the client alone (tools/bench_backlog.sh), peak memory, and the
# body passes' throughput. Figures are printed, not asserted.
#   bench.sh BUILD_DIR   (a Release build with KELVANE_BENCH=ON)
set -eu
build=$(cd "$1" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
kelvane=$build/kelvane
work=$build/bench
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# 12329 lines of 72 characters and a line feed: 900017 bytes; 9000 lines
# of the same 72 characters with every third one outside ASCII (accented
# letters, no-break spaces, fullwidth digits and punctuation: two- and
# three-byte UTF-8), 882000 bytes; and a realistic bulletin of 28 lines,
# 2044 bytes.
line='Gale warning: west to northwest winds 35 to 45 knots, seas 6 to 8 m.    '
awk -v line="$line" 'BEGIN { for (i = 0; i < 12329; i++) print line }' >big.txt
python3 - "$line" >mixed.txt <<'EOF'
import sys
other = dict(zip("Gadeghiklmnorstuw :,.3456", "Ĝàďéĝĥïķľḿñöřşţüŵ\u00a0：，…３４５６"))
line = "".join(other.get(c, c) if i % 3 == 1 else c for i, c in enumerate(sys.argv[1]))
sys.stdout.write((line + "\n") * 9000)
EOF
awk -v line="$line" 'BEGIN { for (i = 0; i < 28; i++) print line }' >small.txt
printf 'a\n' >tiny.txt
big=$(wc -c <big.txt)
tiny=$(wc -c <tiny.txt)
echo "input: $big bytes of 72-character lines, option 36; machine: $(nproc) cores, $(uname -m)"
grep -m1 'model name' /proc/cpuinfo | sed 's/.*: /cpu: /' || true

instructions() {
	valgrind --tool=callgrind --callgrind-out-file=/dev/null "$kelvane" 36 "$1" 2>&1 >/dev/null |
		sed -n 's/.*Collected : //p'
	rm -f BRAX_* kelvane.names
}
if command -v valgrind >/dev/null 2>&1; then
	i_tiny=$(instructions tiny.txt)
	for body in big mixed; do
		i_body=$(instructions $body.txt)
		size=$(wc -c <$body.txt)
		echo "instructions: $i_body for $size bytes ($body.txt), $i_tiny for $tiny bytes"
		awk -v a="$i_body" -v b="$i_tiny" -v x="$size" -v y="$tiny" -v body="$body" \
			'BEGIN { printf "instructions per input byte, %s.txt: %.2f\n", body, (a - b) / (x - y) }'
	done
	echo "  (bounds: big.txt 8, aim 3; mixed.txt under 3 x big.txt)"
else
	echo "instructions per input byte: valgrind is not installed"
fi

# dd with conv=fsync is a durable copy, as kelvane's bulletin is durable.
for input in big small; do
	echo "wall time, $input.txt ($(wc -c <$input.txt) bytes), median of 300 alternating runs:"
	pipeline=
	[ "$input" = small ] || pipeline="pipeline"
	python3 "$tools/wall.py" --remove 'BRAX_* kelvane.names' 300 cp "cp $input.txt copy.txt" \
		dd "dd if=$input.txt of=copy.txt conv=fsync status=none" kelvane "$kelvane 36 $input.txt" \
		${pipeline:+pipeline "sh $tools/pipeline.sh $input.txt pipeline.out"}
done
echo "  (bounds: kelvane at most 1.3 x dd at 2 kB; aim: pipeline 5 x kelvane)"
rm -f BRAX_* kelvane.names

# kelvane-send of the 2 kB message to a local FTP server, against kelvane
# followed by one bare curl -T of the same bulletin: what the queue, the
# syncs, the dot name and the rename cost.
if /usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null && command -v curl >/dev/null 2>&1; then
	mkdir -p gateway/data/talvex/data home
	port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
	timeout 600 /usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -w -d gateway \
		-u kelvane -P bench >ftp-server.log 2>&1 &
	server=$!
	printf 'machine 127.0.0.1 login kelvane password bench\n' >home/.netrc
	chmod 600 home/.netrc
	for _ in $(seq 100); do
		/usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" \
			2>/dev/null && break
		sleep 0.1
	done
	# shellcheck disable=SC2016 # the pair's own variables
	printf '%s 36 small.txt >/dev/null && b=$(sed -n "s/^put //p" command.txt) &&\n curl -sS --netrc -T "$b" "ftp://127.0.0.1:%s/%%2Fdata/talvex/data/$b"\n' \
		"$kelvane" "$port" >pair.sh
	echo "wall time, kelvane-send of small.txt to a local FTP server, median of 30 alternating runs:"
	HOME=$work/home python3 "$tools/wall.py" --remove 'BRAX_* kelvane.names' 30 \
		pair "sh pair.sh" kelvane-send "$build/kelvane-send 36 small.txt ftp 127.0.0.1 $port"
	echo "  (aim: kelvane-send at most 1.3 x pair)"
	kill "$server"
	sh "$tools/bench_backlog.sh" "$build" "$work/small.txt"
else
	echo "kelvane-send against FTP: no curl, or no pyftpdlib for /usr/bin/python3"
fi

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
