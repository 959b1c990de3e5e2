#!/usr/bin/env bash
# cmake --install into a prefix with a space and a quote in it: every program, the activation
# file, the desktop entry, icons, metainfo, example firmware and manual pages land where a
# Linux system looks for them; the desktop entry and the metainfo pass their validators; the
# installed activation file is byte for byte what the installed tavralink -RegServer writes.
# Usage: install_tree_test.sh CMAKE BUILD_DIR
set -euo pipefail
CMAKE=$1
BUILD=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state
PREFIX="$WORK/a prefix's root"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$CMAKE" --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log"

for program in tavralink tavraloader tavraloader-cli tavractl tavra-sim; do
  [ -x "$PREFIX/bin/$program" ] || fail "bin/$program is not installed"
  [ -f "$PREFIX/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
  gzip -dc "$PREFIX/share/man/man1/$program.1.gz" | grep -q "^\.TH " ||
    fail "$program.1.gz is not a manual page"
done
APP=dk.norvik.TavraLoader
[ -f "$PREFIX/share/applications/$APP.desktop" ] || fail "no desktop entry"
[ -f "$PREFIX/share/metainfo/$APP.metainfo.xml" ] || fail "no metainfo"
[ -f "$PREFIX/share/icons/hicolor/scalable/apps/$APP.svg" ] || fail "no scalable icon"
pngs=$(find "$PREFIX/share/icons/hicolor" -path "*x*/apps/$APP.png" | wc -l)
[ "$pngs" -ge 3 ] || fail "only $pngs icon sizes besides the scalable one"
[ -f "$PREFIX/share/tavra/firmware/example-2.10.TVW" ] || fail "no example firmware"

desktop-file-validate "$PREFIX/share/applications/$APP.desktop" ||
  fail "desktop-file-validate refuses the desktop entry"
appstreamcli validate --no-net "$PREFIX/share/metainfo/$APP.metainfo.xml" ||
  fail "appstreamcli refuses the metainfo"
icon=$(sed -n 's/^Icon=//p' "$PREFIX/share/applications/$APP.desktop")
[ "$icon" = "$APP" ] || fail "the desktop entry names icon '$icon'"
grep -q "<launchable type=\"desktop-id\">$APP.desktop</launchable>" \
  "$PREFIX/share/metainfo/$APP.metainfo.xml" || fail "the metainfo does not launch $APP.desktop"

SERVICE=share/dbus-1/services/dk.norvik.TavraLink.service
[ -f "$PREFIX/$SERVICE" ] || fail "no activation file"
XDG_DATA_HOME="$WORK/data" QT_QPA_PLATFORM=offscreen "$PREFIX/bin/tavralink" -RegServer ||
  fail "tavralink -RegServer failed"
cmp "$PREFIX/$SERVICE" "$WORK/data/dbus-1/services/dk.norvik.TavraLink.service" || {
  echo "installed:" >&2
  cat "$PREFIX/$SERVICE" >&2
  echo "written by tavralink -RegServer:" >&2
  cat "$WORK/data/dbus-1/services/dk.norvik.TavraLink.service" >&2
  fail "the installed activation file differs from the one the server writes"
}
echo "install tree: OK"
