#!/bin/sh
# The bulletin of `kelvane 36 FILE` made with tr, sed and printf instead,
# as a user might write it: the yardstick for the converter's speed.
set -eu
in=$1
out=$2
body=$out.body
# shellcheck disable=SC2018,SC2019 # the bulletin's letters are ASCII only
tr 'a-z' 'A-Z' <"$in" | tr -c '\r\n -~' ' ' | sed 's/\r$//; s/\r/ /g; s/$/\r\r/' >"$body"
length=$((18 + 3 + 9 + $(wc -c <"$body") + 7))
{
	printf '####018%06d####\n' "$length"
	printf 'NOUS71 BRAX %s\r\r\nADAQOV\r\r\n' "$(date -u +%d%H%M)"
	cat "$body"
	printf '\r\r\n=\r\r\n'
} >"$out"
rm -f "$body"
