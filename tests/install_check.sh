#!/bin/sh
# Installs the build into a staging directory, as a package build would,
# and checks that what landed there works: the executable runs the bundled
# example, as installed, and appends its row, and the manual page is there and lints clean.
#
#   install_check.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage/root" cmake --install "$build" --prefix /opt/energy-totals > /dev/null
exe="$stage/root/opt/energy-totals/bin/energy-totals"
page="$stage/root/opt/energy-totals/share/man/man1/energy-totals.1.gz"
[ -x "$exe" ] || { echo "FAIL: no executable at $exe"; exit 1; }
[ -f "$page" ] || { echo "FAIL: no manual page at $page"; exit 1; }

mkdir "$stage/case"
# The bundled case as installed, as a new user finds it.
cp "$stage/root/opt/energy-totals/share/doc/energy-totals/examples/"* "$stage/case/"
[ -f "$stage/case/case1.total.pwr" ] || { echo "FAIL: the bundled case is not installed"; exit 1; }
before=$(wc -l < "$stage/case/results.txt")
(cd "$stage/case" && "$exe" case1 1 0 > "$stage/summary")
[ "$(wc -l < "$stage/summary")" -eq 9 ] || { echo "FAIL: the summary is not nine lines"; exit 1; }
[ "$(wc -l < "$stage/case/results.txt")" -eq $((before + 1)) ] || { echo "FAIL: no row appended"; exit 1; }

gunzip < "$page" > "$stage/page.1"
grep -q "^\.Os energy-totals [0-9]" "$stage/page.1" || { echo "FAIL: the page's .Os does not name the tool"; exit 1; }
if command -v mandoc > /dev/null; then
  lint=$(mandoc -T lint -W warning "$stage/page.1" 2>&1) || true
else
  lint=$(groff -ww -z -mandoc "$stage/page.1" 2>&1) || true
fi
[ "$("$exe" --version)" = "energy-totals $(sed -n 's/^\.Os energy-totals //p' "$stage/page.1")" ] ||
  { echo "FAIL: --version and the manual page name other versions"; exit 1; }
[ -z "$lint" ] || { echo "FAIL: the manual page has warnings:"; echo "$lint"; exit 1; }
echo "installed and ran: $exe"
