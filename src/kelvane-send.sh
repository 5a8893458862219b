#!/bin/sh
# kelvane-send: converts a message with kelvane, keeps the bulletin queued
# until the gateway has confirmed it, and forwards the queue, oldest first.
#
#   kelvane-send OPTION FILE ftp HOST [PORT]
#   kelvane-send OPTION FILE sftp [SFTP-OPTION...] USER@HOST
#   kelvane-send --retry ftp HOST [PORT]
#   kelvane-send --retry sftp [SFTP-OPTION...] USER@HOST
#   kelvane-send --status
#
# It works in the current folder, under an exclusive lock on
# kelvane-send.lock there. A converted bulletin is queued as a hard link
# outbox/BULLETIN, synced before anything is sent. The gateway takes a
# file the moment it appears, so each bulletin is uploaded under its name
# with a dot in front and then renamed; it is delivered when the rename is
# accepted, and only then leaves the queue, with a line in delivered.log.
# The queue is sent in conversion order and stops at the first bulletin
# that fails. Status 0: nothing queued any more; 75: the gateway could not
# be reached or refused for now, so a later --retry sends what is queued;
# 1: the conversion failed or the gateway refused in a way that needs a
# person. The last line says what happened and what is still queued.
set -u

me='kelvane-send'
incoming=/data/talvex/data/
bulletin_name='BRAX_[0-3][0-9].[0-2][0-9][0-5][0-9][0-5][0-9]'
tempfail=75 # EX_TEMPFAIL: try again later

say() {
	printf '%s: %s\n' "$me" "$*"
}

usage() {
	say "usage: $me OPTION FILE ftp HOST [PORT]"
	say "       $me OPTION FILE sftp [SFTP-OPTION...] USER@HOST"
	say "       $me --retry ftp HOST [PORT]"
	say "       $me --retry sftp [SFTP-OPTION...] USER@HOST"
	say "       $me --status"
	exit 1
}

# The queued bulletins, oldest first: by the time kelvane wrote them, then
# by name.
queued() {
	[ -d outbox ] || return 0
	find outbox -maxdepth 1 -type f -name "$bulletin_name" -printf '%T@ %f\n' |
		sort -k1,1n -k2,2 | cut -d' ' -f2
}

# What is still queued, for the last line.
left() {
	count=$(queued | wc -l)
	oldest=$(queued | head -n 1)
	case $count in
	0) echo "nothing queued" ;;
	1) echo "1 bulletin queued: $oldest" ;;
	*) echo "$count bulletins queued, the oldest $oldest" ;;
	esac
}

# Ends the run with status $1 and a last line: what happened, then what
# is still queued.
finish() {
	status=$1
	shift
	say "$*; $(left)"
	exit "$status"
}

# Reads the command line into mode (convert, retry, status), option, file,
# client (ftp, sftp) and, for ftp, host and port; the sftp client's own
# arguments stay in "$@" of the caller, which gets them back through
# client_args.
[ $# -ge 1 ] || usage
case $1 in
--status)
	[ $# -eq 1 ] || usage
	mode=status
	shift
	;;
--retry)
	mode=retry
	shift
	;;
-*) usage ;;
*)
	[ $# -ge 3 ] || usage
	mode=convert
	option=$1
	file=$2
	shift 2
	;;
esac
client=
if [ "$mode" != status ]; then
	[ $# -ge 2 ] || usage
	client=$1
	shift
	case $client in
	ftp)
		[ $# -le 2 ] || usage
		host=$1
		port=${2:-21}
		case $host in "" | -* | *[!A-Za-z0-9.:_-]*) usage ;; esac
		case $port in "" | *[!0-9]*) usage ;; esac
		[ "$port" -ge 1 ] || usage
		[ "$port" -le 65535 ] || usage
		gateway=$host
		[ $# -lt 2 ] || gateway=$host:$port
		# An IPv6 address goes in brackets in a URL.
		url_host=$host
		case $host in *:*) url_host=[$host] ;; esac
		where=ftp://$url_host${2:+:$port}$incoming
		;;
	sftp)
		for gateway; do :; done # the last argument, USER@HOST
		case $gateway in -*) usage ;; esac
		where=sftp://$gateway$incoming
		# The client's own arguments, then a connect timeout and a check
		# that the connection lives (an option given first wins), then
		# USER@HOST.
		count=$#
		for argument; do
			[ "$count" -gt 1 ] || set -- "$@" -o ConnectTimeout=30 -o ServerAliveInterval=15 \
				-o ServerAliveCountMax=4 -o BatchMode=yes
			set -- "$@" "$argument"
			shift
			count=$((count - 1))
		done
		;;
	*) usage ;;
	esac
fi

# kelvane beside this script (a build folder, /usr/bin), else on the PATH.
kelvane=kelvane
here=$(dirname "$0")
[ -x "$here/kelvane" ] && kelvane=$here/kelvane

# Everything happens under the folder's lock. --status only reads, so it
# shares the lock, and reads without it where it may not open the file.
lock='kelvane-send.lock'
if [ "$mode" = status ]; then
	if [ -r "$lock" ] && exec 9<"$lock"; then
		flock -s 9 || finish 1 "FAILED: cannot take the lock $lock"
	fi
else
	# A failed redirection of exec would end the shell without a word.
	[ -w "$lock" ] || { : >>"$lock"; } 2>/dev/null ||
		finish 1 "FAILED: cannot open the lock $lock in $(pwd); nothing converted or sent"
	exec 9>>"$lock"
	flock 9 || finish 1 "FAILED: cannot take the lock $lock; nothing converted or sent"
fi

# The queue decides what goes to the gateway: refuse one that somebody
# else could put a link into, or replace.
if [ -e outbox ] || [ -L outbox ]; then
	[ -n "$(find outbox -maxdepth 0 -type d -user "$(id -u)" ! -perm /022)" ] ||
		finish 1 "FAILED: $(pwd)/outbox is not a folder of yours that only you may write; nothing converted or sent"
fi
[ -z "$(find . -maxdepth 0 -perm -002)" ] ||
	finish 1 "FAILED: $(pwd) may be written by anybody; nothing converted or sent"

# --status: one line per queued bulletin, and each stray file of outbox/.
if [ "$mode" = status ]; then
	for bulletin in $(queued); do
		since=$(date -u -r "outbox/$bulletin" '+%Y-%m-%d %H:%M:%S UTC')
		failure="none seen"
		[ ! -f "outbox/$bulletin.failed" ] || failure=$(tail -n 1 "outbox/$bulletin.failed")
		echo "$bulletin $(wc -c <"outbox/$bulletin") bytes, queued since $since, last failure: $failure"
	done
	[ ! -d outbox ] || find outbox -mindepth 1 -maxdepth 1 ! \( -type f -name "$bulletin_name" \) \
		! \( -type f -name "$bulletin_name.failed" \) -printf '%f\n' | while read -r stray; do
		say "outbox/$stray is not a bulletin; left alone"
	done
	[ -n "$(queued)" ] || { say "nothing queued"; exit 0; }
	exit 1
fi

# ftp reads its login from ~/.netrc; curl without one would try an
# anonymous login, and one that others can read gives the password away.
if [ "$client" = ftp ]; then
	netrc=${HOME:-}/.netrc
	[ -f "$netrc" ] ||
		finish 1 "FAILED: no ~/.netrc with the gateway's login (machine $host login ... password ...); nothing converted or sent"
	[ -z "$(find "$netrc" -perm /077)" ] ||
		finish 1 "FAILED: $netrc can be read by others (chmod 600 it); nothing converted or sent"
fi

if [ ! -d outbox ]; then
	{ mkdir -m 755 outbox && sync .; } || finish 1 "FAILED: cannot make $(pwd)/outbox; nothing converted or sent"
fi

# Store: convert, then queue the bulletin kelvane named in command.txt,
# synced before anything is sent.
if [ "$mode" = convert ]; then
	say "converting $file with option $option"
	"$kelvane" "$option" "$file"
	status=$?
	[ "$status" -eq 0 ] || finish 1 "FAILED: conversion of $file (kelvane exited $status); nothing queued from it"
	bulletin=$(sed -n 's/^put //p' command.txt)
	# shellcheck disable=SC2254 # the pattern of a bulletin's name
	case $bulletin in
	$bulletin_name) ;;
	*) finish 1 "FAILED: command.txt names no bulletin; nothing queued from $file" ;;
	esac
	{ ln "$bulletin" "outbox/$bulletin" && sync "outbox/$bulletin" outbox; } ||
		finish 1 "FAILED: cannot queue $bulletin as outbox/$bulletin"
	say "queued $bulletin ($(wc -c <"$bulletin") bytes) as outbox/$bulletin"
fi

# Sends outbox/$1 over ftp with curl: uploaded as .NAME, then renamed,
# in one call. Sets outcome (0, tempfail or 1) and why. curl's exit status
# tells the kind of failure, and the last reply code a refusal for now
# (4xx) from one for good (5xx).
send_ftp() {
	reply=$(curl --silent --show-error --netrc --ftp-pasv --connect-timeout 30 \
		--speed-limit 1 --speed-time 60 --write-out '%{response_code}' \
		--upload-file "outbox/$1" --quote "-RNFR .$1" --quote "-RNTO $1" \
		"ftp://$url_host:$port/%2F${incoming#/}.$1")
	status=$?
	outcome=1
	case $status:$reply in
	0:*) outcome=0 ;;
	*:4[0-9][0-9])
		outcome=$tempfail
		why="$gateway refused for now (reply $reply)"
		;;
	6:* | 7:*)
		outcome=$tempfail
		why="cannot reach $gateway (curl exit $status)"
		;;
	18:* | 28:* | 55:* | 56:*)
		outcome=$tempfail
		why="the connection to $gateway broke off (curl exit $status)"
		;;
	67:*) why="login to $gateway refused (reply $reply)" ;;
	9:*) why="remote folder $incoming refused (reply $reply)" ;;
	25:*) why="upload of .$1 refused (reply $reply)" ;;
	21:*) why="rename of .$1 to $1 refused (reply $reply)" ;;
	*) why="curl failed (exit $status, reply $reply)" ;;
	esac
}

# Sends outbox/$1 with OpenSSH's sftp: a batch of cd, put and rename,
# which stops at the first command that fails. sftp exits 255 when the
# connection fails or breaks, 1 when a command fails; the commands it
# echoes tell how far it got.
send_sftp() {
	name=$1
	shift
	output=$(printf 'cd %s\nput outbox/%s .%s\nrename .%s %s\n' "$incoming" "$name" "$name" \
		"$name" "$name" | sftp -b - "$@" 2>&1)
	status=$?
	[ -z "$output" ] || printf '%s\n' "$output"
	done_commands=$(printf '%s\n' "$output" | sed -n 's/^sftp> //p')
	outcome=1
	case $status in
	0) outcome=0 ;;
	255)
		outcome=$tempfail
		why="cannot reach $gateway (sftp exit 255)"
		[ -z "$done_commands" ] || why="the connection to $gateway broke off (sftp exit 255)"
		if [ -z "$done_commands" ] && printf '%s\n' "$output" |
			grep -q 'Permission denied\|Too many authentication failures\|Host key verification failed'; then
			outcome=1
			why="login to $gateway refused"
		fi
		;;
	*)
		case $(printf '%s\n' "$done_commands" | tail -n 1) in
		cd*) why="remote folder $incoming refused" ;;
		put*) why="upload of .$name refused" ;;
		rename*) why="rename of .$name to $name refused" ;;
		*) why="sftp failed (exit $status)" ;;
		esac
		;;
	esac
}

# Forward: the whole queue, oldest first, stopping at the first failure.
# A delivered bulletin is written to delivered.log before it leaves the
# queue, both synced: a cut in between sends it once more, under the same
# name, which the gateway drops.
sent=0
for bulletin in $(queued); do
	size=$(wc -c <"outbox/$bulletin")
	say "sending $bulletin ($size bytes) to $where"
	if [ "$client" = ftp ]; then
		send_ftp "$bulletin"
	else
		send_sftp "$bulletin" "$@"
	fi
	if [ "$outcome" -ne 0 ]; then
		# What --status shows for it.
		printf '%s %s\n' "$(date -u '+%Y-%m-%d %H:%M:%S UTC')" "$why" >"outbox/$bulletin.failed"
		case $outcome in
		"$tempfail") finish "$tempfail" "TEMPFAIL: $why, $me --retry sends it later" ;;
		*) finish 1 "FAILED: $why, mend that and run $me --retry" ;;
		esac
	fi
	{ printf '%s %s %s bytes %s\n' "$(date -u '+%Y-%m-%dT%H:%M:%SZ')" "$bulletin" "$size" \
		"$where" >>delivered.log && sync delivered.log .; } ||
		finish 1 "FAILED: $bulletin delivered but not written to delivered.log; it stays queued"
	{ rm -f "outbox/$bulletin.failed" && rm "outbox/$bulletin" && sync outbox; } ||
		finish 1 "FAILED: $bulletin delivered but not removed from outbox/"
	say "delivered $bulletin ($size bytes) to $where"
	sent=$((sent + 1))
done
case $sent in
0) finish 0 "nothing to send" ;;
1) finish 0 "delivered $bulletin to $where" ;;
*) finish 0 "delivered $sent bulletins to $where" ;;
esac
