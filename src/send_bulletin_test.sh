#!/usr/bin/env bash
# examples/send-bulletin against real servers on 127.0.0.1: Debian's ftp
# client against a pyftpdlib server, OpenSSH's sftp against an asyncssh
# SFTP server, one row a case. Each row converts a help-desk note in a
# folder of its own and checks the exit status, the last line, and what
# reached the server's /data/talvex/data/.
#   send_bulletin_test.sh KELVANE EXAMPLES
# Exits 77 (skipped) when a client, a server or flock is not installed, or
# 1 where KELVANE_NO_SKIP is set, as CI does.
set -euo pipefail
kelvane=$(realpath "$1")
examples=$(realpath "$2")
py=/usr/bin/python3
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1

for tool in ftp sftp ssh-keygen flock; do
	command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool"; exit "$skip"; }
done
for module in pyftpdlib asyncssh; do
	"$py" -c "import $module" 2>/dev/null ||
		{ echo "skipped: no $module for $py (Debian package python3-$module)"; exit "$skip"; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-send.XXXXXX")
servers=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	for pid in "${servers[@]}"; do
		kill "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$scratch"
# root holds the gateway's incoming folder; lost, a login folder without it.
mkdir -p root/data/talvex/data lost bin
free_port() {
	"$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
	for _ in $(seq 100); do
		"$py" -c "import socket; socket.create_connection(('127.0.0.1', $1), 1)" 2>/dev/null && return 0
		sleep 0.1
	done
	cat ./*.log
	return 1
}

# FTP: kelvane may write, reader may only read, lost logs in where there
# is no incoming folder. The servers stop by themselves after 150 s.
ftp_port=$(free_port)
timeout 150 "$py" - "$scratch/root" "$scratch/lost" "$ftp_port" >ftp-server.log 2>&1 <<'EOF' &
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, lost, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
users = DummyAuthorizer()
users.add_user("kelvane", "test-only", root, perm="elradfmw")
users.add_user("reader", "test-only", root, perm="elr")
users.add_user("lost", "test-only", lost, perm="elradfmw")
FTPHandler.authorizer = users
FTPServer(("127.0.0.1", port), FTPHandler).serve_forever()
EOF
servers+=($!)

# SFTP: any user with the test's key; lost is rooted where there is no
# incoming folder.
ssh-keygen -q -t ed25519 -N '' -f host_key
ssh-keygen -q -t ed25519 -N '' -f user_key
ssh-keygen -q -t ed25519 -N '' -f other_key
sftp_port=$(free_port)
timeout 150 "$py" - "$scratch/root" "$scratch/lost" "$sftp_port" >sftp-server.log 2>&1 <<'EOF' &
import asyncio, sys
import asyncssh
root, lost, port = sys.argv[1], sys.argv[2], int(sys.argv[3])

def sftp_factory(chan):
    chroot = lost if chan.get_extra_info("username") == "lost" else root
    return asyncssh.SFTPServer(chan, chroot=chroot)

async def main():
    await asyncssh.listen("127.0.0.1", port, server_host_keys=["host_key"],
                          authorized_client_keys="user_key.pub", sftp_factory=sftp_factory)
    await asyncio.Future()

asyncio.run(main())
EOF
servers+=($!)
printf '[127.0.0.1]:%s %s\n' "$sftp_port" "$(cut -d' ' -f1,2 host_key.pub)" >known_hosts
wait_port "$ftp_port"
wait_port "$sftp_port"
down_port=$(free_port)
sftp_options="-P $sftp_port -o IdentitiesOnly=yes -o BatchMode=yes -o UserKnownHostsFile=$scratch/known_hosts -o StrictHostKeyChecking=yes -F /dev/null"

# A kelvane that is slow to finish: it runs the real one, then waits.
# shellcheck disable=SC2016 # the script's own variables
printf '#!/bin/sh\n"%s" "$@"\nstatus=$?\nsleep 2\nexit $status\n' "$kelvane" >bin/kelvane
chmod +x bin/kelvane
ln -s "$kelvane" "$scratch/kelvane"

# One case: NAME NETRC NOTE CLIENT-ARGUMENTS... Runs send-bulletin in a
# folder of its own with a .netrc of LOGIN/PASSWORD/MODE, or none; prints
# the status and the last line of its output.
send() {
	local name=$1 netrc=$2 note=$3
	shift 3
	mkdir -p "work/$name" "home/$name"
	printf '%b' "$note" >"work/$name/note.txt"
	if [ "$netrc" != none ]; then
		local login password mode
		IFS=/ read -r login password mode <<<"$netrc"
		printf 'machine 127.0.0.1 login %s password %s\n' "$login" "$password" >"home/$name/.netrc"
		chmod "$mode" "home/$name/.netrc"
	fi
	(cd "work/$name" && HOME=$scratch/home/$name PATH=$scratch:$PATH \
		timeout 60 sh "$examples/send-bulletin" 36 note.txt "$@" >log 2>&1) && status=0 || status=$?
	echo "$status $(tail -n 1 "work/$name/log")"
}

failures=0
check() {
	local name=$1 want_status=$2 want_line=$3 got=$4
	local bulletin size=0
	bulletin=$(find "work/$name" -name 'BRAX_*' -printf '%f')
	[ -z "$bulletin" ] || size=$(wc -c <"work/$name/$bulletin")
	want_line=${want_line//BULLETIN/$bulletin}
	want_line=${want_line//SIZE/$size}
	if [ "${got%% *}" != "$want_status" ] || [[ "${got#* }" != *"$want_line"* ]]; then
		echo "FAIL $name: got '$got', want status $want_status and '$want_line'"
		cat "work/$name/log"
		failures=$((failures + 1))
		return
	fi
	echo "ok   $name: $got"
}

# name | .netrc | note | client and its arguments | status | last line
while IFS='|' read -r name netrc note arguments status line; do
	[ -n "$name" ] || continue
	arguments=${arguments//FTP_PORT/$ftp_port}
	arguments=${arguments//DOWN_PORT/$down_port}
	arguments=${arguments//SFTP_OPTIONS/$sftp_options}
	arguments=${arguments//SCRATCH/$scratch}
	# shellcheck disable=SC2086 # the arguments are words
	got=$(send "$name" "$netrc" "$note" $arguments)
	check "$name" "$status" "$line" "$got"
	bulletin=$(find "work/$name" -name 'BRAX_*' -printf '%f')
	if [ "$status" = 0 ] && ! cmp "work/$name/$bulletin" "root/data/talvex/data/$bulletin"; then
		echo "FAIL $name: $bulletin did not arrive whole"
		failures=$((failures + 1))
	fi
	if [ "$name" = "ftp conversion fails" ] && [ -n "$(find root/data/talvex/data lost -type f)" ]; then
		echo "FAIL $name: something was sent"
		failures=$((failures + 1))
	fi
	rm -f root/data/talvex/data/* lost/*
done <<'EOF'
ftp delivered|kelvane/test-only/600|message one\n|ftp 127.0.0.1 FTP_PORT|0|delivered BULLETIN (SIZE bytes) to 127.0.0.1:/data/talvex/data/
ftp folder missing|lost/test-only/600|message two\n|ftp 127.0.0.1 FTP_PORT|1|FAILED: remote folder /data/talvex/data/ not reached; the bulletin may have gone to the login folder
ftp login refused|kelvane/wrong/600|message three\n|ftp 127.0.0.1 FTP_PORT|1|FAILED: login to 127.0.0.1 refused; nothing sent
ftp put refused|reader/test-only/600|message four\n|ftp 127.0.0.1 FTP_PORT|1|FAILED: transfer of BULLETIN not completed
ftp server down|kelvane/test-only/600|message five\n|ftp 127.0.0.1 DOWN_PORT|1|FAILED: cannot reach 127.0.0.1; nothing sent
ftp no netrc|none|message six\n|ftp 127.0.0.1 FTP_PORT|1|FAILED: no ~/.netrc with the gateway's login
ftp netrc readable|kelvane/test-only/644|message six\n|ftp 127.0.0.1 FTP_PORT|1|.netrc can be read by others (chmod 600 it); nothing converted or sent
ftp conversion fails|kelvane/test-only/600||ftp 127.0.0.1 FTP_PORT|1|FAILED: conversion (kelvane exited 1); nothing sent
sftp delivered|none|message seven\n|sftp SFTP_OPTIONS -i SCRATCH/user_key talvex@127.0.0.1|0|delivered BULLETIN (SIZE bytes) to talvex@127.0.0.1:/data/talvex/data/
sftp folder missing|none|message eight\n|sftp SFTP_OPTIONS -i SCRATCH/user_key lost@127.0.0.1|1|FAILED: remote folder /data/talvex/data/ not reached; nothing sent
sftp login refused|none|message nine\n|sftp SFTP_OPTIONS -i SCRATCH/other_key talvex@127.0.0.1|1|FAILED: login to talvex@127.0.0.1 refused; nothing sent
sftp server down|none|message ten\n|sftp -P DOWN_PORT -o BatchMode=yes -F /dev/null talvex@127.0.0.1|1|FAILED: cannot reach talvex@127.0.0.1; nothing sent
EOF

# Three jobs at once in one folder, each with a kelvane that is slow to
# finish: under the lock each sends its own bulletin, once.
mkdir -p work/jobs
for i in 1 2 3; do
	printf 'job %s\n' "$i" >"work/jobs/m$i.txt"
done
for i in 1 2 3; do
	# shellcheck disable=SC2086 # the options are words
	(cd work/jobs && PATH=$scratch/bin:$PATH sh "$examples/send-bulletin" 36 "m$i.txt" sftp \
		$sftp_options -i "$scratch/user_key" talvex@127.0.0.1 >"job$i.log" 2>&1; echo $? >"job$i.status") &
done
wait_jobs=$(jobs -p)
for pid in $wait_jobs; do
	case " ${servers[*]} " in *" $pid "*) continue ;; esac
	wait "$pid" || true
done
sent=$(cat work/jobs/job?.log | sed -n 's/^send-bulletin: delivered \(BRAX_[0-9.]*\) .*/\1/p' | sort)
arrived=$(ls root/data/talvex/data)
if [ "$(cat work/jobs/job?.status | tr -d '\n')" != 000 ] || [ "$(echo "$sent" | sort -u | wc -l)" -ne 3 ] ||
	[ "$sent" != "$arrived" ]; then
	echo "FAIL three jobs at once: sent '${sent//$'\n'/ }', arrived '${arrived//$'\n'/ }'"
	cat work/jobs/job?.log
	failures=$((failures + 1))
else
	for bulletin in $arrived; do
		cmp "work/jobs/$bulletin" "root/data/talvex/data/$bulletin" || failures=$((failures + 1))
	done
	echo "ok   three jobs at once: each sent its own bulletin once: ${arrived//$'\n'/ }"
fi

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
