# SPDX-License-Identifier: ISC
# Sourced by the scripts that need the sample page service.
#
# start_sample_service DIR LOG [SERVER] starts SERVER (build/dovrel-pageserver
# unless named) on a free loopback port serving DIR, with its output in LOG,
# waits until it listens, sets sample_service to its process id and exports
# DOVREL_HOST. The caller kills "$sample_service" when done.
sample_service=""

start_sample_service() {
	"${3:-build/dovrel-pageserver}" -p 0 -d "$1" >"$2" &
	sample_service=$!
	tries=0
	until grep -q '^listening on ' "$2"; do
		tries=$((tries + 1))
		if [ "$tries" -ge 100 ]; then
			echo "the sample page service did not start" >&2
			return 1
		fi
		sleep 0.05
	done
	DOVREL_HOST=$(sed -n 's/^listening on //p' "$2")
	export DOVREL_HOST
}
