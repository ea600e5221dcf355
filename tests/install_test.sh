#!/bin/sh
# SPDX-License-Identifier: ISC
# What a packager and a first-time user meet: the manual page, the install,
# the Debian package, a build with only the program's own dependencies, and
# the sample page service. Each part is skipped (status 77) where a tool it needs is
# missing; scripts/test installs them all.
# usage: install_test.sh man|install|package|minimal|service BUILD_DIR SOURCE_DIR
set -eu
part=$1
build=$2
src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need() {
	for tool; do
		command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed" >&2; exit 77; }
	done
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
files="bin/dovrel share/doc/dovrel/changelog.gz share/doc/dovrel/copyright share/man/man1/dovrel.1.gz"
host=$(sed -n 's/^DOVREL_HOST:STRING=//p' "$build/CMakeCache.txt")

# gzip -9n leaves the header's time stamp at zero.
check_gzip() {
	gzip -t "$1" || fail "$1 is not gzip"
	[ "$(od -An -tu4 -j4 -N4 "$1" | tr -d ' ')" = 0 ] || fail "$1 carries a time stamp"
}

case $part in
man)
	need mandoc groff
	page=$build/dovrel.1
	lint=$(mandoc -Tlint "$page" 2>&1) || true
	[ -z "$lint" ] || fail "mandoc: $lint"
	warnings=$(groff -ww -mandoc -Tutf8 "$page" 2>&1 >"$tmp/page.bold") || fail "groff failed"
	[ -z "$warnings" ] || fail "groff: $warnings"
	# groff 1.23 justifies long tags with blanks of its own.
	sed 's/.\x08//g' "$tmp/page.bold" | tr -s ' ' >"$tmp/page.txt"
	for word in SYNOPSIS DOVREL_HOST SSL_CERT_FILE SSL_CERT_DIR http_proxy no_proxy https:// CLICOLOR_FORCE NO_COLOR CLICOLOR TERM LC_ALL \
		"EXIT STATUS" DIAGNOSTICS "Failed to connect to" "refused" "SSL certificate problem" AUTHORS BUGS \
		EXAMPLES dovrel-pageserver "$host" "dovrel $version"; do
		grep -qF -- "$word" "$tmp/page.txt" || fail "the manual page does not mention $word"
	done
	;;
install)
	cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
	got=$(cd "$tmp/prefix" && find . -type f | sed 's|^\./||' | sort | xargs)
	[ "$got" = "$files" ] || fail "installed files: $got"
	check_gzip "$tmp/prefix/share/man/man1/dovrel.1.gz"
	check_gzip "$tmp/prefix/share/doc/dovrel/changelog.gz"
	"$tmp/prefix/bin/dovrel" -h 2>"$tmp/usage" && fail "dovrel -h exited 0"
	grep -qx 'dovrel: usage: dovrel \[page\]' "$tmp/usage" || fail "installed dovrel: $(cat "$tmp/usage")"
	DESTDIR="$tmp/dest" cmake --install "$build" --prefix /usr/local >/dev/null
	[ -x "$tmp/dest/usr/local/bin/dovrel" ] || fail "DESTDIR: no bin/dovrel"
	[ -f "$tmp/dest/usr/local/share/man/man1/dovrel.1.gz" ] || fail "DESTDIR: no manual page"
	;;
package)
	need dpkg-deb dpkg-shlibdeps lintian hardening-check objcopy
	(cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || fail "cpack: $(cat "$tmp/cpack.log")"
	deb=$(ls "$tmp"/pkg/dovrel_*.deb 2>/dev/null | head -n 1)
	[ -n "$deb" ] || { fail "no package built"; exit 1; }
	got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub("^./usr/", "", $NF); print $NF }' | sort | xargs)
	[ "$got" = "$files" ] || fail "package files: $got"
	depends=$(dpkg-deb -f "$deb" Depends)
	for lib in libcurl4 libjson-c5 libc6; do
		echo "$depends" | grep -q "$lib" || fail "package depends: $depends"
	done
	# Loading the C++ runtime would add about 15% to a run of dovrel. That
	# is the project's own choice of flags: a distribution's may differ.
	own_flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p; s/^CMAKE_EXE_LINKER_FLAGS:STRING=//p' "$build/CMakeCache.txt" | xargs)
	if [ -n "$own_flags" ]; then
		echo "skipped the check for the C++ runtime: it holds for the project's own flags, not for: $own_flags"
	else
		case "$depends" in *libstdc++*) fail "dovrel needs the C++ runtime again: $depends" ;; esac
	fi
	[ "$(dpkg-deb -f "$deb" Recommends)" = ca-certificates ] || fail "package recommends: $(dpkg-deb -f "$deb" Recommends)"
	lintian --pedantic "$deb" >"$tmp/lintian" 2>&1 || true
	if grep -E '^[EW]: ' "$tmp/lintian"; then fail "lintian: errors or warnings"; fi
	dpkg-deb -x "$deb" "$tmp/root"
	hardening-check "$tmp/root/usr/bin/dovrel" >"$tmp/hardening" 2>&1 || true
	for feature in "Position Independent Executable" "Stack protected" "Fortify Source functions" \
		"Read-only relocations" "Immediate binding"; do
		grep -q "^ $feature: yes" "$tmp/hardening" || fail "hardening-check: $(grep "$feature" "$tmp/hardening")"
	done
	objdump -h "$tmp/root/usr/bin/dovrel" | grep -q ' \.comment ' && fail "the binary keeps its .comment section"
	# Reproducible: two copies of the source in two folders, packed a
	# second apart under two umasks and without SOURCE_DATE_EPOCH, give the
	# same bytes. One job each at low priority: the other tests run beside.
	for copy in one two; do
		if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
			git clone -q "$src" "$tmp/$copy"
		else
			mkdir "$tmp/$copy" && (cd "$src" && tar cf - --exclude='./build*' .) | (cd "$tmp/$copy" && tar xf -)
		fi
		[ "$copy" = one ] || sleep 1
		(
			[ "$copy" = one ] || umask 002
			unset SOURCE_DATE_EPOCH
			cmake -S "$tmp/$copy" -B "$tmp/$copy/b" -DDOVREL_TESTS=OFF &&
				nice -n 10 cmake --build "$tmp/$copy/b" -j 1 --target dovrel manpage changelog &&
				cd "$tmp/$copy/b" && cpack -G DEB -B "$tmp/$copy/pkg"
		) >"$tmp/$copy.log" 2>&1 || fail "package from a copy: $(tail "$tmp/$copy.log")"
	done
	if ! cmp -s "$tmp"/one/pkg/dovrel_*.deb "$tmp"/two/pkg/dovrel_*.deb; then
		fail "two builds of the same source give two packages"
		if command -v diffoscope >/dev/null 2>&1; then
			diffoscope "$tmp"/one/pkg/dovrel_*.deb "$tmp"/two/pkg/dovrel_*.deb >&2
		else
			for copy in one two; do
				ar tv "$tmp"/$copy/pkg/dovrel_*.deb >&2
				dpkg-deb -c "$tmp"/$copy/pkg/dovrel_*.deb >&2
			done
		fi
	fi
	;;
minimal)
	# Only libcurl's and json-c's development files: the test and sample
	# service dependencies are hidden from pkg-config and CMake.
	mkdir "$tmp/pc"
	for pc in $(pkg-config --variable pc_path pkg-config | tr : ' '); do
		[ -d "$pc" ] && ls "$pc"/*.pc 2>/dev/null
	done | grep -Ev '/(cpp-httplib|gtest|gtest_main|gmock|gmock_main)\.pc$' | while read -r f; do
		ln -sf "$f" "$tmp/pc/"
	done
	PKG_CONFIG_LIBDIR=$tmp/pc cmake -S "$src" -B "$tmp/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
		>"$tmp/configure.log" 2>&1 || fail "configure: $(cat "$tmp/configure.log")"
	grep -q "dovrel: the tests are skipped: libgtest-dev libcpp-httplib-dev not found" "$tmp/configure.log" ||
		fail "configure does not say why the tests are skipped: $(cat "$tmp/configure.log")"
	grep -q "dovrel: the sample page service is skipped" "$tmp/configure.log" ||
		fail "configure does not say the sample service is skipped"
	# One job at low priority: the other tests run beside it.
	nice -n 10 cmake --build "$tmp/build" -j 1 >"$tmp/build.log" 2>&1 || fail "build: $(tail "$tmp/build.log")"
	[ -x "$tmp/build/dovrel" ] || fail "no dovrel built"
	[ ! -e "$tmp/build/dovrel-pageserver" ] || fail "the sample service was built without cpp-httplib"
	;;
service)
	# It refuses what would leave it serving nothing, or sharing a port.
	. "$src/scripts/sample-service.sh"
	start_sample_service "$src/samples/pages" "$tmp/log" "$build/dovrel-pageserver" || fail "it did not start"
	port=${DOVREL_HOST##*:}
	for run in "-p $port:127.0.0.1:$port: Address already in use" "-d /nonexistent:/nonexistent: No such file or directory"; do
		# shellcheck disable=SC2086
		"$build/dovrel-pageserver" ${run%%:*} >/dev/null 2>"$tmp/err" &
		second=$!
		tries=0
		while kill -0 "$second" 2>/dev/null && [ "$tries" -lt 50 ]; do
			sleep 0.1
			tries=$((tries + 1))
		done
		kill "$second" 2>/dev/null && fail "dovrel-pageserver ${run%%:*} started"
		wait "$second" && fail "dovrel-pageserver ${run%%:*} exited 0"
		[ "$(cat "$tmp/err")" = "dovrel-pageserver: ${run#*:}" ] || fail "${run%%:*}: $(cat "$tmp/err")"
	done
	kill "$sample_service"
	;;
*)
	echo "usage: install_test.sh man|install|package|minimal|service BUILD_DIR SOURCE_DIR" >&2
	exit 2
	;;
esac

[ "$failures" -eq 0 ] && echo "$part: all checks passed"
exit "$failures"
