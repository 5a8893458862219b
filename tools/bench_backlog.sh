#!/bin/sh
# A backlog drained by kelvane-send --retry against the client alone doing
# the same uploads and renames in one session: 200 bulletins of 2 kB over
# ftp (one curl call) and sftp (one sftp -b batch) against local servers,
# and 50 over ftp against a server that answers each command 20 ms late.
# Each run starts from the same queue, refilled outside the timing, and
# the logins each run cost are counted. Figures are printed, not asserted.
#   bench_backlog.sh BUILD_DIR MESSAGE
# ROUNDS (9) and LATE_ROUNDS (3) set the timed runs; LEGACY=1 names the
# queue entries as before sequences, for an older kelvane-send. On
# loopback curl now and then waits a whole second before a data
# connection, whichever runs it: the medians keep that out.
set -eu
build=$(cd "$1" && pwd)
message=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
tools=$(cd "$(dirname "$0")" && pwd)
py=/usr/bin/python3
if ! command -v sftp >/dev/null 2>&1 || ! "$py" -c 'import pyftpdlib, asyncssh' 2>/dev/null; then
	echo "backlog: no sftp, or no pyftpdlib and asyncssh for $py"
	exit 0
fi
work=$build/bench/backlog
rm -rf "$work"
mkdir -p "$work/home" "$work/gateway/data/talvex/data"
cd "$work"
free_port() {
	"$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
ssh-keygen -q -t ed25519 -N '' -f host_key
ssh-keygen -q -t ed25519 -N '' -f user_key
ftp_port=$(free_port)
late_port=$(free_port)
sftp_port=$(free_port)
pids=
for server in "ftp $ftp_port" "ftp-late $late_port" "sftp $sftp_port"; do
	# shellcheck disable=SC2086 # the mode and the port
	set -- $server
	timeout 1800 "$py" "$tools/bench_gateway.py" "$1" "$work/gateway" "$2" 2>"$1.log" &
	pids="$pids $!"
done
trap 'kill $pids 2>/dev/null || true' EXIT
printf '[127.0.0.1]:%s %s\n' "$sftp_port" "$(cut -d' ' -f1,2 host_key.pub)" >known_hosts
printf 'machine 127.0.0.1 login kelvane password bench\n' >home/.netrc
chmod 600 home/.netrc
export HOME="$work/home"
for port in $ftp_port $late_port $sftp_port; do
	for _ in $(seq 100); do
		"$py" -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && break
		sleep 0.1
	done
done
sftp_options="-F /dev/null -P $sftp_port -o IdentitiesOnly=yes -o UserKnownHostsFile=$work/known_hosts -o StrictHostKeyChecking=yes -i $work/user_key"

# The bulletins, each named after a second of its own, and for each
# backlog the queue's refill and the client alone's session.
backlog() {
	folder=$1 count=$2 port=$3
	mkdir -p "$folder"
	cp "$message" "$folder/message.txt"
	i=0
	while [ "$i" -lt "$count" ]; do
		(cd "$folder" && faketime "2026-12-01 10:$((i / 60)):$((i % 60))" "$build/kelvane" 36 message.txt >/dev/null)
		i=$((i + 1))
	done
	cat >"$folder/refill.sh" <<REFILL
cd "$work/$folder" && rm -rf outbox delivered.log "$work"/gateway/data/talvex/data/* && mkdir outbox &&
i=1 && for b in BRAX_*; do if [ -n "\${LEGACY:-}" ]; then ln \$b outbox/\$b; else ln \$b outbox/\$(printf %010d \$i).\$b; fi; i=\$((i + 1)); done
REFILL
	{
		printf 'cd "%s" && exec curl -s -S --netrc --ftp-pasv' "$work/$folder"
		first=1
		for b in "$folder"/BRAX_*; do
			b=${b##*/}
			[ -n "$first" ] || printf ' --next --netrc --ftp-pasv'
			first=
			printf ' -T %s -Q "-RNFR .%s" -Q "-RNTO %s" ftp://127.0.0.1:%s/%%2Fdata/talvex/data/.%s' \
				"$b" "$b" "$b" "$port" "$b"
		done
		echo
	} >"$folder/alone-ftp.sh"
	{
		echo "cd /data/talvex/data/"
		for b in "$folder"/BRAX_*; do
			b=${b##*/}
			printf 'put %s .%s\nrename .%s %s\n' "$work/$folder/$b" "$b" "$b" "$b"
		done
	} >"$folder/alone-sftp.batch"
}
backlog b200 200 "$ftp_port"
backlog b50 50 "$late_port"

logins() {
	grep -c 'counted login' "$1.log" || true
}
compare() {
	rounds=$1 label=$2 folder=$3 log=$4 alone=$5 words=$6
	before=$(logins "$log")
	echo "wall time, $label, median of $rounds alternating runs:"
	(cd "$folder" && python3 "$tools/wall.py" --setup "sh $work/$folder/refill.sh" "$rounds" \
		client "$alone" kelvane-send "$build/kelvane-send --retry $words")
	runs=$((2 * (rounds + (rounds < 5 ? rounds : 5))))
	echo "  logins: $(($(logins "$log") - before)) for $runs runs"
}
compare "${ROUNDS:-9}" "backlog of 200 over ftp" b200 ftp "sh $work/b200/alone-ftp.sh" "ftp 127.0.0.1 $ftp_port"
compare "${ROUNDS:-9}" "backlog of 200 over sftp" b200 sftp \
	"sftp -b $work/b200/alone-sftp.batch $sftp_options kelvane@127.0.0.1" \
	"sftp $sftp_options kelvane@127.0.0.1"
compare "${LATE_ROUNDS:-3}" "backlog of 50 over ftp, each reply 20 ms late" b50 ftp-late \
	"sh $work/b50/alone-ftp.sh" "ftp 127.0.0.1 $late_port"
echo "  (aim: kelvane-send at most 1.3 x client for each backlog)"
