#!/usr/bin/env bash
# against_daemon.sh NORVEX_EMU PROGRAM [ARGS...]: runs a C-interface test
# program with its platesetters made in a separate norvex-emu through the
# daemon's control port (NORVEX_EMU_CONTROL), over TCP: the Linux run of what
# scripts/test-wine-tcp does with the Windows programs. Fails when the
# program fails, and when the daemon does not stop cleanly (exit status 0)
# at SIGTERM.
set -euo pipefail
emu=$1
shift
out=$(mktemp)
"$emu" --control 127.0.0.1:0 >"$out" 2>&1 &
daemon=$!
stop() {
  kill "$daemon" 2>/dev/null || true
  rm -f "$out"
}
trap stop EXIT
for _ in $(seq 400); do
  grep -q 'control at' "$out" && break
  kill -0 "$daemon" 2>/dev/null || { cat "$out"; exit 1; }
  sleep 0.05
done
control=$(sed -n 's/.*control at \(tcp:[^ ]*\).*/\1/p' "$out")
[ -n "$control" ] || { echo "norvex-emu named no control port"; cat "$out"; exit 1; }
status=0
NORVEX_EMU_CONTROL=$control NORVEX_TEST_TRANSPORT=tcp "$@" || status=$?
kill -TERM "$daemon"
daemon_status=0
wait "$daemon" || daemon_status=$?
cat "$out"
[ "$daemon_status" -eq 0 ] || { echo "norvex-emu ended with $daemon_status"; status=1; }
exit $status
