#!/usr/bin/env bash
# kelvane-send against real servers on 127.0.0.1: curl against a pyftpdlib
# server that writes uploads slowly (2 kB every 10 ms, as a slow link
# does), OpenSSH's sftp against an asyncssh SFTP server, and a watcher that
# takes every file of the incoming folder whose name does not begin with a
# dot the moment it appears, as the gateway does. One row a step; the rows
# of a case share a folder. After each case, every bulletin taken must be
# whole, taken once, in conversion order, and written in delivered.log, and
# nothing still queued may have been taken.
#   kelvane_send_test.sh KELVANE-SEND   (with kelvane beside it)
# Exits 77 (skipped) when a client, a server or flock is not installed, or
# 1 where KELVANE_NO_SKIP is set, as CI does.
set -euo pipefail
send=$(realpath "$1")
py=/usr/bin/python3
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1

for tool in curl sftp ssh-keygen flock setsid; do
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
	# The servers started by a row's subshell are in servers.pids.
	[ ! -f "$scratch/servers.pids" ] || mapfile -t -O "${#servers[@]}" servers <"$scratch/servers.pids"
	for pid in "${servers[@]}"; do
		kill "$pid" 2>/dev/null || true
		wait "$pid" 2>/dev/null || true
	done
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$scratch"
incoming=$scratch/root/data/talvex/data
mkdir -p "$incoming" taken work home
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

# The gateway: takes each file not named with a dot at once, and erases
# it; taken/N-NAME keeps the N-th file taken, taken.log its name.
timeout 230 "$py" - "$incoming" >watcher.log 2>&1 <<'EOF' &
import os, sys, time
incoming, n = sys.argv[1], 0
while True:
    for entry in os.scandir(incoming):
        if entry.name.startswith(".") or not entry.is_file():
            continue
        with open(entry.path, "rb") as f:
            data = f.read()
        os.unlink(entry.path)
        n += 1
        with open(f"taken/{n}-{entry.name}", "wb") as f:
            f.write(data)
        with open("taken.log", "a") as log:
            log.write(entry.name + "\n")
    time.sleep(0.001)
EOF
servers+=($!)

# FTP, slow: kelvane may do anything, norename may not rename, busy gets
# "452 try later" for every upload. The servers stop by themselves.
start_ftp() {
	timeout 230 "$py" - "$scratch/root" "$1" >>ftp-server.log 2>&1 <<'EOF' &
import sys, time
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer
root, port = sys.argv[1], int(sys.argv[2])
users = DummyAuthorizer()
users.add_user("kelvane", "test-only", root, perm="elradfmw")
users.add_user("norename", "test-only", root, perm="elradmw")
users.add_user("busy", "test-only", root, perm="elradfmw")
class Slow(DTPHandler):
    ac_in_buffer_size = 2048
    def handle_read(self):
        super().handle_read()
        time.sleep(0.01)
    handle_read_event = handle_read
class Gateway(FTPHandler):
    authorizer = users
    dtp_handler = Slow
    def ftp_STOR(self, file, mode="w"):
        if self.username == "busy":
            return self.respond("452 Insufficient storage space, try later.")
        return super().ftp_STOR(file, mode)
FTPServer(("127.0.0.1", port), Gateway).serve_forever()
EOF
	echo $! >>"$scratch/servers.pids"
	wait_port "$1"
}
ftp_port=$(free_port)
down_port=$(free_port)
dead_port=$(free_port)
start_ftp "$ftp_port"

# SFTP: any user with the test's key; norename may not rename.
ssh-keygen -q -t ed25519 -N '' -f host_key
ssh-keygen -q -t ed25519 -N '' -f user_key
ssh-keygen -q -t ed25519 -N '' -f other_key
sftp_port=$(free_port)
timeout 230 "$py" - "$scratch/root" "$sftp_port" >sftp-server.log 2>&1 <<'EOF' &
import asyncio, sys
import asyncssh
root, port = sys.argv[1], int(sys.argv[2])
class NoRename(asyncssh.SFTPServer):
    def rename(self, old, new):
        raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "rename refused")
    posix_rename = rename
def sftp_factory(chan):
    norename = chan.get_extra_info("username") == "norename"
    return (NoRename if norename else asyncssh.SFTPServer)(chan, chroot=root)
async def main():
    await asyncssh.listen("127.0.0.1", port, server_host_keys=["host_key"],
                          authorized_client_keys="user_key.pub", sftp_factory=sftp_factory)
    await asyncio.Future()
asyncio.run(main())
EOF
servers+=($!)
printf '[127.0.0.1]:%s %s\n' "$sftp_port" "$(cut -d' ' -f1,2 host_key.pub)" >known_hosts
wait_port "$sftp_port"
sftp_options="-F /dev/null -P $sftp_port -o IdentitiesOnly=yes -o UserKnownHostsFile=$scratch/known_hosts -o StrictHostKeyChecking=yes"

# kelvane-send beside a kelvane that waits 2 s after converting: two jobs
# that did not take turns would each read the other's command.txt.
mkdir slow
cp "$send" slow/kelvane-send
# shellcheck disable=SC2016 # the wrapper's own variables
printf '#!/bin/sh\n"%s" "$@"\nstatus=$?\nsleep 2\nexit $status\n' "$(dirname "$send")/kelvane" >slow/kelvane
chmod +x slow/kelvane

# A message for each name a row uses: big*.txt about 600 kB, mid*.txt
# about 60 kB, empty*.txt empty, any other a line of its own.
messages() {
	local word
	for word; do
		case $word in
		big*.txt) [ -e "$word" ] || yes 'Gale warning: west to northwest winds 35 to 45 knots.' |
			head -n 11000 >"$word" ;;
		mid*.txt) [ -e "$word" ] || yes 'Gale warning: west to northwest winds 35 to 45 knots.' |
			head -n 1100 >"$word" ;;
		empty*.txt) : >"$word" ;;
		*.txt) [ -e "$word" ] || echo "message $word of $(basename "$PWD")" >"$word" ;;
		esac
	done
}

failures=0
fail() {
	echo "FAIL $*"
	failures=$((failures + 1))
}

# Runs one row in work/CASE: kelvane-send with ARGUMENTS, or an action:
# "!sh COMMAND"; "!kill ARGUMENTS", kelvane-send killed with its process
# group once the upload has begun; "!two ARGUMENTS", two kelvane-send
# jobs at once with the slow kelvane, each converting a message of its own.
step() {
	local case=$1 arguments=$2 want_status=$3 want_line=$4 status=0 got
	mkdir -p "work/$case" "home/$case"
	[ -e "home/$case/.netrc" ] || printf 'machine 127.0.0.1 login kelvane password test-only\n' >"home/$case/.netrc"
	chmod 600 "home/$case/.netrc"
	arguments=${arguments//\{ftp\}/127.0.0.1 $ftp_port}
	arguments=${arguments//\{down\}/127.0.0.1 $down_port}
	arguments=${arguments//\{dead\}/$dead_port}
	arguments=${arguments//\{key\}/$sftp_options -i $scratch/user_key}
	arguments=${arguments//\{other key\}/$sftp_options -i $scratch/other_key}
	(
		cd "work/$case"
		export HOME=$scratch/home/$case
		# shellcheck disable=SC2086 # the arguments are words
		case $arguments in
		"!sh "*) eval "${arguments#!sh }" >step.log 2>&1 ;;
		"!kill "*)
			set -- ${arguments#!kill }
			messages "$@"
			setsid "$send" "$@" >step.log 2>&1 &
			for _ in $(seq 200); do
				[ -z "$(find "$incoming" -name '.BRAX_*' -size +1k)" ] || break
				sleep 0.05
			done
			kill -KILL -- "-$!"
			{ wait "$!"; } 2>/dev/null || true
			;;
		"!two "*)
			set -- ${arguments#!two }
			messages a.txt b.txt
			for job in a b; do
				(timeout 60 "$scratch/slow/kelvane-send" "$1" "$job.txt" "${@:2}" >"job-$job.log" 2>&1
					echo $? >"job-$job.status") &
			done
			wait
			cat job-a.status job-b.status | sort -u | tr -d '\n' >step.status
			cat job-a.log job-b.log >step.log
			exit "$(cat step.status)"
			;;
		*)
			set -- $arguments
			messages "$@"
			timeout 60 "$send" "$@" >step.log 2>&1
			;;
		esac
	) || status=$?
	got=$(tail -n 1 "work/$case/step.log" 2>/dev/null || true)
	# shellcheck disable=SC2053 # the line wanted is a pattern
	if [ "$status" != "$want_status" ]; then
		fail "$case, $2: status $status, want $want_status"
		cat "work/$case/step.log"
	elif [ -n "$want_line" ] && [[ "$got" != $want_line ]]; then
		fail "$case, $2: last line '$got', want '$want_line'"
		cat "work/$case/step.log"
	else
		echo "ok   $case, $2: $status $got"
	fi
}

# After a case: what the watcher took since it began (from line $2 of
# taken.log on) against the case's folder.
check_case() {
	local case=$1 from=$2 dir=work/$1 n name log_order previous=
	local -A seen=()
	n=$from
	while read -r name; do
		n=$((n + 1))
		[ -z "${seen[$name]:-}" ] || fail "$case: $name taken twice"
		seen[$name]=1
		cmp -s "taken/$n-$name" "$dir/$name" || fail "$case: $name taken, but not the whole bulletin"
		[ ! -e "$dir/outbox/$name" ] || fail "$case: $name taken, but still queued"
	done < <(tail -n "+$((from + 1))" taken.log)
	log_order=$(cut -d' ' -f2 "$dir/delivered.log" 2>/dev/null | tr '\n' ' ' || true)
	[ "$(tail -n "+$((from + 1))" taken.log | tr '\n' ' ')" = "$log_order" ] ||
		fail "$case: taken '$(tail -n "+$((from + 1))" taken.log | tr '\n' ' ')', delivered.log '$log_order'"
	for name in $log_order; do
		# Conversion order: each delivered after the one converted before it.
		[ -z "$previous" ] || [ "$dir/$previous" -ot "$dir/$name" ] ||
			fail "$case: $name delivered after $previous, converted later"
		previous=$name
	done
}

: >taken.log
current='' from=0
# case | kelvane-send arguments or action | status | last line (a pattern)
while IFS='|' read -r case arguments status line; do
	[ -n "$case" ] || continue
	if [ "$case" != "$current" ]; then
		[ -z "$current" ] || check_case "$current" "$from"
		current=$case from=$(wc -l <taken.log)
	fi
	step "$case" "$arguments" "$status" "$line"
done <<'EOF'
ftp|36 mid.txt ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://127.0.0.1:*/data/talvex/data/; nothing queued
sftp|36 m1.txt sftp {key} talvex@127.0.0.1|0|kelvane-send: delivered BRAX_* to sftp://talvex@127.0.0.1/data/talvex/data/; nothing queued
outage|36 m1.txt ftp {down}|75|kelvane-send: TEMPFAIL: cannot reach 127.0.0.1:* (curl exit 7), kelvane-send --retry sends it later; 1 bulletin queued: BRAX_*
outage|36 m2.txt ftp {down}|75|*; 2 bulletins queued, the oldest BRAX_*
outage|36 m3.txt ftp {down}|75|*; 3 bulletins queued, the oldest BRAX_*
outage|--status|1|BRAX_* bytes, queued since 20??-??-?? ??:??:?? UTC, last failure: none seen
outage|!sh start_ftp "$down_port"|0|
outage|--retry ftp {down}|0|kelvane-send: delivered 3 bulletins to ftp://*; nothing queued
outage|--status|0|kelvane-send: nothing queued
sftp down|36 m1.txt sftp -F /dev/null -P {dead} talvex@127.0.0.1|75|*TEMPFAIL: cannot reach talvex@127.0.0.1 (sftp exit 255), *; 1 bulletin queued: BRAX_*
login|!sh echo machine 127.0.0.1 login kelvane password wrong >"$HOME/.netrc"|0|
login|36 m1.txt ftp {ftp}|1|kelvane-send: FAILED: login to 127.0.0.1:* refused (reply 530), mend that *; 1 bulletin queued: BRAX_*
login|--status|1|BRAX_* last failure: * UTC login to 127.0.0.1:* refused (reply 530)
login|!sh echo machine 127.0.0.1 login kelvane password test-only >"$HOME/.netrc"|0|
login|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
sftp login|36 m1.txt sftp {other key} talvex@127.0.0.1|1|*FAILED: login to talvex@127.0.0.1 refused, *; 1 bulletin queued: BRAX_*
rename|!sh echo machine 127.0.0.1 login norename password test-only >"$HOME/.netrc"|0|
rename|36 m1.txt ftp {ftp}|1|*FAILED: rename of .BRAX_* to BRAX_* refused (reply 550), *; 1 bulletin queued: BRAX_*
sftp rename|36 m1.txt sftp {key} norename@127.0.0.1|1|*FAILED: rename of .BRAX_* to BRAX_* refused, *; 1 bulletin queued: BRAX_*
busy|!sh echo machine 127.0.0.1 login busy password test-only >"$HOME/.netrc"|0|
busy|36 m1.txt ftp {ftp}|75|*TEMPFAIL: 127.0.0.1:* refused for now (reply 452), *; 1 bulletin queued: BRAX_*
killed|!kill 36 big.txt ftp {ftp}|0|
killed|--status|1|BRAX_* bytes, queued since *, last failure: none seen
killed|--retry ftp {ftp}|0|kelvane-send: delivered BRAX_*; nothing queued
conversion|36 empty.txt ftp {ftp}|1|kelvane-send: FAILED: conversion of empty.txt (kelvane exited 1); nothing queued from it; nothing queued
two jobs|!two 36 ftp {ftp}|0|kelvane-send: delivered BRAX_* to ftp://*; nothing queued
usage|36 m1.txt|1|kelvane-send:        kelvane-send --status
usage|36 m1.txt smtp 127.0.0.1|1|*--status
usage|--retry ftp|1|*--status
usage|--retry ftp 127.0.0.1 21 extra|1|*--status
usage|--status now|1|*--status
open outbox|!sh mkdir outbox && chmod 777 outbox|0|
open outbox|--retry ftp {ftp}|1|kelvane-send: FAILED: */outbox is not a folder of yours that only you may write; nothing converted or sent; nothing queued
stray|!sh mkdir -m 755 outbox && echo x >outbox/notes.txt|0|
stray|--status|0|kelvane-send: nothing queued
EOF
check_case "$current" "$from"
grep -q '^kelvane-send: outbox/notes.txt is not a bulletin; left alone$' work/stray/step.log ||
	fail "stray: --status does not report outbox/notes.txt"
[ -e work/stray/outbox/notes.txt ] || fail "stray: outbox/notes.txt was removed"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
