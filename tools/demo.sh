#!/bin/sh
# Builds the program alone, its output kept in BUILD/demo-build.log and
# shown only when the build fails, then converts each example message in
# a scratch folder of its own and shows what was written, each file with
# a line that says what it is.
#   demo.sh BUILD [CMAKE_FLAGS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
log=$build/demo-build.log
echo "demo: building $build/kelvane (the build's output goes to $log)"
# shellcheck disable=SC2086 # the flags are words
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" ${2:-}; } &&
	cmake --build "$build" --target kelvane -j 2; } >"$log" 2>&1; then
	cat "$log"
	echo "demo: the build failed; its output is above and in $log"
	exit 1
fi

demo=$build/demo
rm -rf "$demo"
echo "demo: each example converted in a folder of its own; in the files shown, ^M is a carriage return, \$ a line feed"
for run in "36 helpdesk.txt" "2 meteorologist.txt"; do
	option=${run%% *}
	message=${run#* }
	mkdir -p "$demo/$option"
	cp "$top/examples/$message" "$demo/$option/"
	old_heading=$(head -n 1 "$demo/$option/$message")
	printf '\n=== kelvane %s %s (in %s)\n' "$option" "$message" "$demo/$option"
	(cd "$demo/$option" && "$build/kelvane" "$option" "$message")
	for file in "$demo/$option"/*; do
		name=$(basename "$file")
		case $name in
		BRAX_*) what="the bulletin for the gateway" ;;
		command.txt) what="the FTP script that sends the bulletin" ;;
		helpdesk.txt) what="the help-desk note, as it was given" ;;
		*) what="the meteorologist's message, its first line $old_heading rewritten with the bulletin's heading $(head -n 1 "$file")" ;;
		esac
		printf '\n--- %s, %s bytes: %s\n' "$name" "$(wc -c <"$file")" "$what"
		cat -A "$file"
	done
done
