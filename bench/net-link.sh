# SPDX-License-Identifier: ISC
# Sourced by bench/net, on one link: starts nginx on loopback (behind a
# relay, for a round trip), times each tool fetching the 10-page chain
# over each protocol, prints a line of tab-separated fields for each (link,
# protocol, tool, median seconds, connections a run), and stops what it
# started. Reads root, tmp, rate, rtt, protos, runs and dovrel_other.

free_ports() {
	python3 -c 'import socket
s = [socket.socket() for _ in range(4)]
for x in s: x.bind(("127.0.0.1", 0))
print(" ".join(str(x.getsockname()[1]) for x in s))'
}

write_nginx_conf() {
	mkdir -p "$tmp/nginx"
	cat >"$tmp/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $tmp/nginx/nginx.pid;
events { worker_connections 64; }
http {
	log_format conn '\$connection';
	access_log $tmp/nginx/access.log conn;
	client_body_temp_path $tmp/nginx/body;
	proxy_temp_path $tmp/nginx/proxy;
	fastcgi_temp_path $tmp/nginx/fastcgi;
	uwsgi_temp_path $tmp/nginx/uwsgi;
	scgi_temp_path $tmp/nginx/scgi;
	default_type application/json;
	gzip on;
	gzip_types application/json;
	keepalive_timeout 75s;
	server {
		listen 127.0.0.1:$1;
		listen 127.0.0.1:$2 ssl http2;
		ssl_protocols TLSv1.3;
		ssl_certificate $tmp/cert.pem;
		ssl_certificate_key $tmp/key.pem;
		root $tmp/pages;
		location ~ ^/json/(.+)\$ { try_files /\$1.json =404; }
	}
}
CONF
}

wait_for_port() {
	for _ in $(seq 100); do
		curl -s -o /dev/null "http://127.0.0.1:$1/" && return 0
		sleep 0.05
	done
	echo "net: nothing listens on 127.0.0.1:$1" >&2
	return 1
}

# The tools, by label.
run_tool() {
	case $1 in
	dovrel) "$root/build/dovrel" 500 ;;
	other) "$dovrel_other" 500 ;;
	# shellcheck disable=SC2086
	curl) curl -s --cacert "$tmp/cert.pem" $urls ;;
	# shellcheck disable=SC2086
	"curl -z") curl -s --compressed --cacert "$tmp/cert.pem" $urls ;;
	esac
}

# Times each tool named (labels, one a line, on standard input) RUNS times,
# taking turns, so that none gains from what the link did before it; then a
# line for each with its median time and the connections a run opened.
measure() {
	tools=$(cat)
	rm -f "$tmp"/times.*
	for _ in $(seq "$runs"); do
		echo "$tools" | while read -r tool; do
			[ -e "$tmp/failed.$tool" ] && continue
			before=$(wc -l <"$tmp/nginx/access.log")
			start=$(date +%s%N)
			if ! run_tool "$tool" </dev/null >/dev/null 2>"$tmp/err"; then
				echo "net: $tool over $link_name $proto failed: $(head -c 300 "$tmp/err")" >&2
				: >"$tmp/failed.$tool"
				continue
			fi
			end=$(date +%s%N)
			sleep 0.2 # nginx logs a request once its answer is out
			connections=$(tail -n "+$((before + 1))" "$tmp/nginx/access.log" | sort -u | wc -l)
			echo "$((end - start)) $connections" >>"$tmp/times.$(echo "$tool" | tr -d ' -')"
		done
	done
	echo "$tools" | while read -r tool; do
		file=$tmp/times.$(echo "$tool" | tr -d ' -')
		if [ -e "$tmp/failed.$tool" ]; then
			printf '%s\t%s\t%s\tfailed\t-\n' "$link_name" "$proto" "$tool"
			rm -f "$tmp/failed.$tool"
			continue
		fi
		sort -n "$file" | awk -v l="$link_name" -v p="$proto" -v t="$tool" '
			{ v[NR] = $1; c = $2 }
			END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
			      printf "%s\t%s\t%s\t%.3f\t%s\n", l, p, t, m / 1e9, c }'
	done
}

measure_link() {
	link_name="$rtt ms"
	[ "$rate" = 0 ] || link_name="$rate/s"
	# shellcheck disable=SC2046
	set -- $(free_ports)
	write_nginx_conf "$1" "$2"
	nginx -p "$tmp/nginx" -e "$tmp/nginx/error.log" -c "$tmp/nginx.conf" </dev/null >/dev/null 2>&1 &
	nginx_pid=$!
	relay_pids=""
	# shellcheck disable=SC2064
	trap 'kill $nginx_pid $relay_pids 2>/dev/null' EXIT
	wait_for_port "$1"
	front_http=$1 front_https=$2
	if [ "$rtt" != 0 ]; then
		python3 "$root/bench/relay.py" "$3" "$1" "$rtt" </dev/null >/dev/null &
		relay_pids="$!"
		python3 "$root/bench/relay.py" "$4" "$2" "$rtt" </dev/null >/dev/null &
		relay_pids="$relay_pids $!"
		front_http=$3 front_https=$4
		wait_for_port "$front_http"
	fi
	for proto in $protos; do
		port=$front_http
		[ "$proto" = https ] && port=$front_https
		base="$proto://127.0.0.1:$port"
		urls="$base/json/500"
		for i in 2 3 4 5 6 7 8 9 10; do urls="$urls $base/json/500-$i"; done
		export DOVREL_HOST="$base" SSL_CERT_FILE="$tmp/cert.pem" LC_ALL=C.UTF-8
		# Uncompressed at 2.4 kbit/s, a run takes three to five minutes;
		# ALL=1 runs curl and the older build there too.
		slow=no
		[ "$rate" = 2400bit ] && [ "${ALL:-0}" != 1 ] && slow=yes
		{
			echo dovrel
			[ -z "${dovrel_other:-}" ] || [ $slow = yes ] || echo other
			[ $slow = yes ] || echo curl
			echo "curl -z"
		} | measure
	done
	# shellcheck disable=SC2086
	kill $nginx_pid $relay_pids 2>/dev/null || true
	wait 2>/dev/null || true
	trap - EXIT
}
