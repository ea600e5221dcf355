#!/bin/sh
# SPDX-License-Identifier: ISC
# The manual page renders without warnings, the install puts exactly the
# binary and the manual page where GNUInstallDirs says, and the Debian
# package carries the same files and its library dependencies.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# The manual page.
lint=$(mandoc -Tlint -W warning "$src/dovrel.1" 2>&1) || fail "mandoc: $lint"
[ -z "$lint" ] || fail "mandoc: $lint"
warnings=$(groff -ww -mandoc -Tutf8 "$src/dovrel.1" 2>&1 >"$tmp/page.bold") || fail "groff failed"
sed 's/.\x08//g' "$tmp/page.bold" >"$tmp/page.txt"
[ -z "$warnings" ] || fail "groff: $warnings"
for word in SYNOPSIS DOVREL_HOST CLICOLOR_FORCE NO_COLOR CLICOLOR LC_ALL "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
	grep -q "$word" "$tmp/page.txt" || fail "the manual page does not mention $word"
done

# The install, with a prefix and with DESTDIR.
expect="bin/dovrel
share/man/man1/dovrel.1"
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
got=$(cd "$tmp/prefix" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$expect" ] || fail "installed files: $got"
"$tmp/prefix/bin/dovrel" -h 2>"$tmp/usage" && fail "dovrel -h exited 0"
grep -qx 'dovrel: usage: dovrel \[page\]' "$tmp/usage" || fail "installed dovrel: $(cat "$tmp/usage")"

DESTDIR="$tmp/dest" cmake --install "$build" --prefix /usr/local >/dev/null
[ -x "$tmp/dest/usr/local/bin/dovrel" ] || fail "DESTDIR: no bin/dovrel"
[ -f "$tmp/dest/usr/local/share/man/man1/dovrel.1" ] || fail "DESTDIR: no manual page"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || fail "cpack: $(cat "$tmp/cpack.log")"
deb=$(ls "$tmp"/pkg/dovrel_*.deb 2>/dev/null | head -n 1)
if [ -n "$deb" ]; then
	files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
	[ "$files" = "./usr/bin/dovrel
./usr/share/man/man1/dovrel.1" ] || fail "package files: $files"
	depends=$(dpkg-deb -f "$deb" Depends)
	for lib in libcurl4 libjson-c5 libc6; do
		echo "$depends" | grep -q "$lib" || fail "package depends: $depends"
	done
	[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "package has no maintainer"
	# Loading the C++ runtime would add about 15% to a run of dovrel.
	case "$depends" in *libstdc++*) fail "dovrel needs the C++ runtime again: $depends" ;; esac
else
	fail "no package built"
fi

[ "$failures" -eq 0 ] && echo "install: all checks passed"
exit "$failures"
