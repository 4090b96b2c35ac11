# shellcheck shell=bash
# Sourced by the CI stages that go through the real PC/SC stack.
#
# start_pcscd LOG: sees that pcscd runs. Unless one runs already it starts
# pcscd (through sudo when not root: its socket lies under /run), logging to
# LOG, and adds its process to the caller's PIDS so that the caller's cleanup
# stops it. Returns 1, saying why with pcscd's last lines, when pcscd cannot
# come up on this machine.
PCSCD_SOCKET=/run/pcscd/pcscd.comm

start_pcscd() {
  local log=$1 pid
  # (A pcscd that has ended but not been reaped still matches pgrep; its
  # socket is gone.)
  if [ -S "$PCSCD_SOCKET" ] && pgrep -x pcscd >/dev/null; then
    echo "pcscd is already running; using it"
    return 0
  fi
  if ! command -v pcscd >/dev/null; then
    echo "pcscd is not installed"
    return 1
  fi
  local command=(pcscd)
  if [ "$(id -u)" != 0 ] && sudo -n true 2>/dev/null; then command=(sudo -n pcscd); fi
  "${command[@]}" --foreground --debug >"$log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  for _ in $(seq 300); do
    [ -S "$PCSCD_SOCKET" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -S "$PCSCD_SOCKET" ] && return 0
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" || echo "pcscd ended with status $?"
  fi
  echo "pcscd did not come up (run by user id $(id -u)); it printed:"
  tail -n 40 "$log" || true
  return 1
}

# wait_for_cards ZUIC READER...: waits (at most 10 s) until zuic lists a card
# in each of the PC/SC readers named; returns 1, listing the readers, if not.
wait_for_cards() {
  local zuic=$1 readers reader missing
  shift
  for _ in $(seq 100); do
    readers=$(timeout 5 "$zuic" readers 2>/dev/null) || true
    missing=0
    for reader in "$@"; do
      grep -q "^  $reader  *card present" <<<"$readers" || missing=1
    done
    [ "$missing" = 0 ] && return 0
    sleep 0.1
  done
  echo "no card in the readers $*:"
  printf '%s\n' "$readers"
  return 1
}

# restart_pcscd LOG PIDFILE: stops the pcscd whose process id PIDFILE holds
# and starts another one, writing its id to PIDFILE (for the caller's cleanup).
restart_pcscd() {
  local log=$1 pidfile=$2 old
  old=$(cat "$pidfile")
  kill -TERM "$old" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$old" 2>/dev/null || break; sleep 0.1; done
  local PIDS=()
  start_pcscd "$log.restart" >/dev/null || return 1
  echo "${PIDS[-1]}" >"$pidfile"
}

# vpcd serves two slots per channel, and one loaded copy of its driver keeps
# the state of those two slots only: a second channel given the same driver
# file takes over the first channel's slots (pcscd hands both channels slot
# numbers 0 and 1). A second channel therefore loads its own copy of the
# driver, as a file of its own. add_second_vpcd BUILD writes that channel
# ("Virtual PCD 2 00 00" on port 35965, "Virtual PCD 2 00 01" on 35966) for
# the next pcscd to start; remove_second_vpcd takes it away again.
VPCD_DRIVER=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
VPCD2_CONF=/etc/reader.conf.d/zuic-e2e-vpcd2

add_second_vpcd() {
  local build=$1 driver
  [ -r "$VPCD_DRIVER" ] || return 1
  driver="$(cd "$build" && pwd)/vpcd2/libifdvpcd.so"
  mkdir -p "$(dirname "$driver")" && cp "$VPCD_DRIVER" "$driver" || return 1
  printf '%s\n' 'FRIENDLYNAME "Virtual PCD 2"' 'DEVICENAME   /dev/null:0x8C7D' \
    "LIBPATH      $driver" 'CHANNELID    0x8C7D' >"$VPCD2_CONF" 2>/dev/null || return 1
}

remove_second_vpcd() {
  rm -f "$VPCD2_CONF" 2>/dev/null || true
}
