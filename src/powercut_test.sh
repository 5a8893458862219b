#!/usr/bin/env bash
# Cuts the power right after a run: converts an example inside a fresh
# ext4 image on a loop device, shuts the file system down without flushing
# data or journal (what a power cut leaves on the disk), mounts it again,
# and checks that what the run reported is there: command.txt names the
# run's bulletin, the bulletin is byte for byte what the run wrote, and a
# meteorologist's input keeps its size, its text and one of its headings;
# and a bulletin kelvane-send queued is in its queue, whole.
#   powercut_test.sh KELVANE EXAMPLES [SECONDS]
# SECONDS: how long after the run the power is cut (default 0).
# Exits 77 (skipped) where it cannot mount (not root, no loop device, no
# mkfs.ext4 or xfs_io), or 1 where KELVANE_NO_SKIP is set, as CI does.
set -euo pipefail
kelvane=$(realpath "$1")
examples=$(realpath "$2")
delay=${3:-0}
skip=77
[ -z "${KELVANE_NO_SKIP:-}" ] || skip=1

skipped() {
	echo "skipped: $1"
	exit "$skip"
}
[ "$(id -u)" -eq 0 ] || skipped "mounting an image needs root"
command -v mkfs.ext4 >/dev/null 2>&1 || skipped "no mkfs.ext4 (Debian package e2fsprogs)"
command -v xfs_io >/dev/null 2>&1 || skipped "no xfs_io (Debian package xfsprogs)"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-powercut.XXXXXX")
disk=$scratch/disk
unmount() {
	while mountpoint -q "$disk"; do
		umount "$disk" || umount -l "$disk" || return 1
	done
}
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
	unmount || true
	rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir "$disk" "$scratch/saved"

# mount_image: mounts the image on $disk; returns 1 where that fails.
# Without noauto_da_alloc, ext4 writes a file's data before a rename over
# another file commits, which would hide a script that was never synced.
mount_image() {
	mount -o loop,noauto_da_alloc "$scratch/image" "$disk" 2>"$scratch/mount.log"
}

# One case: OPTION EXAMPLE. Prints what it found; returns 1 on a loss.
powercut() {
	local option=$1 message=$2
	unmount
	rm -f "$scratch/image" "$scratch/saved"/*
	truncate -s 32M "$scratch/image"
	mkfs.ext4 -q -F "$scratch/image"
	if ! mount_image; then
		cat "$scratch/mount.log"
		skipped "cannot mount a loop device here"
	fi
	cp "$examples/$message" "$disk/"
	printf 'an earlier script\n' >"$disk/command.txt"
	sync
	(cd "$disk" && "$kelvane" "$option" "$message") >"$scratch/console.log" || {
		cat "$scratch/console.log"
		return 1
	}
	grep -q '^FTP script file created successfully\.$' "$scratch/console.log"
	cp "$disk"/BRAX_* "$disk/command.txt" "$disk/$message" "$scratch/saved/"
	sleep "$delay"
	xfs_io -x -c shutdown "$disk"
	unmount
	mount_image || { cat "$scratch/mount.log"; return 1; }

	local bulletin status=0
	bulletin=$(cd "$scratch/saved" && ls BRAX_*)
	cmp "$scratch/saved/command.txt" "$disk/command.txt" ||
		{ echo "command.txt: $(head -c 100 "$disk/command.txt" | tr '\n' ' ')"; status=1; }
	if [ -f "$disk/$bulletin" ]; then
		cmp "$scratch/saved/$bulletin" "$disk/$bulletin" ||
			{ echo "$bulletin: $(wc -c <"$disk/$bulletin") bytes after the cut"; status=1; }
	else
		echo "$bulletin: gone after the cut"
		status=1
	fi
	if [ "$option" -le 35 ]; then
		# Its size and text as they were, its heading the old or the new.
		local before=$examples/$message after=$disk/$message heading
		heading=$(head -c 18 "$after")
		if [ "$(wc -c <"$after")" -ne "$(wc -c <"$before")" ] ||
			! cmp -s <(tail -c +19 "$before") <(tail -c +19 "$after") ||
			{ [ "$heading" != "$(head -c 18 "$before")" ] &&
				[ "$heading" != "$(head -c 18 "$scratch/saved/$message")" ]; }; then
			echo "$message: changed beyond its heading"
			status=1
		fi
	fi
	unmount
	if [ "$status" -eq 0 ]; then
		echo "kept after a cut ${delay} s after the run: $bulletin ($(wc -c <"$scratch/saved/$bulletin") bytes) and command.txt, option $option"
	fi
	return "$status"
}

# kelvane-send's queue: a bulletin converted while the gateway cannot be
# reached, queued, then the cut; its copy in outbox/ must be the bulletin,
# whole, and nothing else may wait. Returns 1 on a loss.
queued() {
	unmount
	rm -f "$scratch/image" "$scratch/saved"/*
	truncate -s 32M "$scratch/image"
	mkfs.ext4 -q -F "$scratch/image"
	mount_image || { cat "$scratch/mount.log"; return 1; }
	cp "$examples/helpdesk.txt" "$disk/"
	printf 'machine 127.0.0.1 login kelvane password test-only\n' >"$scratch/.netrc"
	chmod 600 "$scratch/.netrc"
	sync
	local status=0
	(cd "$disk" && HOME=$scratch "$(dirname "$kelvane")/kelvane-send" 36 helpdesk.txt ftp 127.0.0.1 1) \
		>"$scratch/console.log" || status=$?
	[ "$status" -eq 75 ] || { cat "$scratch/console.log"; return 1; }
	cp "$disk"/BRAX_* "$scratch/saved/"
	sleep "$delay"
	xfs_io -x -c shutdown "$disk"
	unmount
	mount_image || { cat "$scratch/mount.log"; return 1; }
	local bulletin entries
	bulletin=$(cd "$scratch/saved" && ls BRAX_*)
	entries=$(find "$disk/outbox" "$disk/drop" -name '*BRAX_*' | wc -l)
	status=0
	if [ "$entries" -ne 1 ] || ! cmp -s "$scratch/saved/$bulletin" "$disk"/outbox/*".$bulletin"; then
		echo "$bulletin: not queued whole after the cut ($entries entries)"
		status=1
	fi
	unmount
	[ "$status" -ne 0 ] || echo "kept after a cut ${delay} s after the run: $bulletin queued in outbox/"
	return "$status"
}

status=0
powercut 36 helpdesk.txt || status=1
powercut 2 meteorologist.txt || status=1
queued || status=1
exit "$status"
