#!/usr/bin/env bash
# cpack -G DEB from this build, the package unpacked into a temporary root, and the installed
# files run as a user would run them: every program's --help, tavralink -RegServer, and the
# demo's main job (tavraloader-cli update with the installed example firmware against tavra-sim
# as COM1) on a private session bus that starts the installed tavralink.
# Usage: deb_test.sh CPACK BUILD_DIR
set -euo pipefail
CPACK=$1
BUILD=$2
WORK=$(mktemp -d)
ROOT=$WORK/root
BIN=$ROOT/usr/bin
SIM_PID=""
SERVER_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  # The server ends with its bus; one still running is ours only if it is the package's.
  if [ -n "$SERVER_PID" ] && [ "$(readlink "/proc/$SERVER_PID/exe" 2>/dev/null)" = "$BIN/tavralink" ]; then
    kill "$SERVER_PID"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
# Settings and pinned ports of the user running the test stay out of it.
export XDG_CONFIG_HOME=$WORK/config XDG_STATE_HOME=$WORK/state
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# --- the package -------------------------------------------------------------------------
"$CPACK" --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/out" >"$WORK/cpack.log" ||
  { cat "$WORK/cpack.log" >&2; fail "cpack -G DEB failed"; }
DEB=$(find "$WORK/out" -maxdepth 1 -name '*.deb')
[ "$(echo "$DEB" | wc -l)" -eq 1 ] && [ -f "$DEB" ] || fail "cpack made no single .deb: $DEB"
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
echo "Depends: $DEPENDS"
# Computed from the programs' libraries: Debian's Qt 6 runtime packages, each with a version.
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libc6 libstdc++6; do
  [[ ", $DEPENDS" == *", $lib (>= "* ]] || fail "Depends lacks $lib"
done

dpkg -x "$DEB" "$ROOT"

# --- --help of every program --------------------------------------------------------------
for program in tavralink tavraloader tavraloader-cli tavractl tavra-sim; do
  [ -x "$BIN/$program" ] || fail "the package has no /usr/bin/$program"
  QT_QPA_PLATFORM=offscreen timeout 20 "$BIN/$program" --help >"$WORK/help.txt" ||
    fail "$program --help failed"
  grep -q "^Usage: $program" "$WORK/help.txt" || fail "$program --help shows no usage"
done

# --- the activation file: installed, and written by the installed server ------------------
SERVICE=usr/share/dbus-1/services/dk.norvik.TavraLink.service
grep -qx "Exec='/usr/bin/tavralink'" "$ROOT/$SERVICE" ||
  fail "the package's activation file: $(cat "$ROOT/$SERVICE")"
export XDG_DATA_HOME=$WORK/data
QT_QPA_PLATFORM=offscreen "$BIN/tavralink" -RegServer || fail "tavralink -RegServer failed"
WRITTEN=$XDG_DATA_HOME/dbus-1/services/dk.norvik.TavraLink.service
grep -qxF "Exec='$BIN/tavralink'" "$WRITTEN" || fail "tavralink -RegServer wrote: $(cat "$WRITTEN")"

# --- the main job from the installed files, on a private bus -------------------------------
FIRMWARE=$ROOT/usr/share/tavra/firmware/example-2.10.TVW
[ -f "$FIRMWARE" ] || fail "the package has no example firmware"
mkdir -p "$WORK/ports"
export TAVRA_PORT_DIR=$WORK/ports
export QT_QPA_PLATFORM=offscreen
unset TAVRALINK_PROGRAM
"$BIN/tavra-sim" --port 1 2>"$WORK/sim.log" &
SIM_PID=$!
for _ in $(seq 1 200); do  # at most 20 s for the simulator's port
  [ -e "$TAVRA_PORT_DIR/COM1" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || fail "tavra-sim ended: $(cat "$WORK/sim.log")"
  sleep 0.1
done
[ -e "$TAVRA_PORT_DIR/COM1" ] || fail "tavra-sim did not publish COM1"

# The bus reads the activation file that -RegServer wrote under XDG_DATA_HOME. While the update
# runs, TavraLink serves it: its process is looked up then, bounded by the update's own end.
cat >"$WORK/job.sh" <<'JOB'
set -euo pipefail
BIN=$1 FIRMWARE=$2 SERVER=$3
"$BIN/tavraloader-cli" update "$FIRMWARE" --quiet &
update=$!
while kill -0 "$update" 2>/dev/null; do
  pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetConnectionUnixProcessID string:dk.norvik.TavraLink 2>/dev/null |
    awk '/uint32/ { print $2 }') || true
  if [ -n "$pid" ]; then
    { echo "$pid"; readlink "/proc/$pid/exe"; } >"$SERVER"
    break
  fi
  sleep 0.1
done
wait "$update"
"$BIN/tavraloader-cli" version
JOB
timeout 150 dbus-run-session -- bash "$WORK/job.sh" "$BIN" "$FIRMWARE" "$WORK/server.pid" \
  >"$WORK/job.log" 2>&1 || { cat "$WORK/job.log" >&2; fail "the update from the installed files failed"; }
cat "$WORK/job.log"
[ -s "$WORK/server.pid" ] || fail "no TavraLink on the bus while the update ran"
# The server that served the job is the package's.
server_exe=$(sed -n 2p "$WORK/server.pid")
[ "$server_exe" = "$BIN/tavralink" ] || fail "the job was served by '$server_exe'"
SERVER_PID=$(sed -n 1p "$WORK/server.pid")
grep -q "2\.10" "$WORK/job.log" || fail "the controller does not report version 2.10 after the update"
echo "package: OK"
