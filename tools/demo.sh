#!/bin/sh
# Converts each example message in its own scratch folder under the build
# folder and shows the console log and what was written.
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$(dirname "$bin")/demo
rm -rf "$demo"
for run in "36 helpdesk.txt" "2 meteorologist.txt"; do
	option=${run%% *}
	message=${run#* }
	mkdir -p "$demo/$option"
	cp "$top/examples/$message" "$demo/$option/"
	printf '\n=== kelvane %s %s (in %s)\n' "$option" "$message" "$demo/$option"
	(cd "$demo/$option" && "$bin" "$option" "$message")
	for file in "$demo/$option"/*; do
		printf '\n--- %s (%s bytes; ^M is a carriage return, $ a line feed)\n' \
			"$(basename "$file")" "$(wc -c <"$file")"
		cat -A "$file"
	done
done
