#!/usr/bin/env bash
# Two machines on one wire: a Link master and a mirroring backup, each a real ZelvoPlayout process
# in its own network namespace, joined by a veth pair (lkm 10.79.0.1/24 for the master, lkb
# 10.79.0.2/24 for the backup). The backup knows only the Link code: it finds the master by its
# broadcast beacon. Both are driven through the program's test seam (ZELVO_LINK_TEST_DRIVE, see
# MainWindow::startLinkTestDrive) and their stored Link settings; DRIVER signs in to the master as
# a control station, checks the received media by hash and sends TAKES synchronized CUTs, judged
# on both processes' frame traces. Exit 77 (skip) when no namespace can be made here.
#   link-two-process.sh PROGRAM DRIVER FIXTURES TAKES
set -u
if [ -z "${ZELVO_LINK2_IN_NETNS:-}" ]; then
  if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: needs unshare and ip (iproute2) for private network namespaces"
    exit 77
  fi
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n env ZELVO_LINK2_IN_NETNS=1 "$0" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n env ZELVO_LINK2_IN_NETNS=1 "$0" "$@"
  fi
  echo "SKIP: cannot create a network namespace here (unshare -n failed)"
  exit 77
fi

program=$(readlink -f "$1"); driver=$(readlink -f "$2"); fixtures=$(readlink -f "$3"); takes=$4
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

code=harbour-lights-7
mkdir -p "$work/master" "$work/backup"
cat > "$work/master/preferences.ini" <<INI
[link]
role=0
name=stage
code=$code
sync=true
operators="[{\"name\":\"Bench\",\"pin\":\"424242\",\"level\":\"operator\",\"programs\":[]}]"
INI
cat > "$work/backup/preferences.ini" <<INI
[link]
role=1
name=backup
code=$code
mirror=true
INI

ip link set lo up || exit 1
ip link add lkm type veth peer name lkb || { echo "SKIP: no veth pair here"; exit 77; }
ip addr add 10.79.0.1/24 brd 10.79.0.255 dev lkm && ip link set lkm up || exit 1

# The backup's namespace: it waits for its end of the wire, then starts the program.
unshare -n sh -c '
  ip link set lo up
  for _ in $(seq 100); do ip link show lkb >/dev/null 2>&1 && break; sleep 0.05; done
  ip addr add 10.79.0.2/24 brd 10.79.0.255 dev lkb && ip link set lkb up || exit 1
  ip route add default dev lkb 2>/dev/null
  for _ in $(seq 40); do ip -br link show lkb | grep -q LOWER_UP && break; sleep 0.05; done
  exec env ZELVO_LINK_TEST_DRIVE=1 ZELVO_LINK_FRAME_TRACE="$1/backup.trace" QT_QPA_PLATFORM=offscreen \
    "$2" --state-dir "$1/backup"' sh "$work" "$program" > "$work/backup.log" 2>&1 &
backup=$!
pids+=($backup)
# unshare(2) runs in that process a moment later; move the wire only once it has its own namespace.
for _ in $(seq 100); do
  [ "$(readlink /proc/$backup/ns/net)" != "$(readlink /proc/$$/ns/net)" ] && break
  sleep 0.02
done
ip link set lkb netns $backup || { echo "FAIL: could not move the wire into the backup's namespace"; exit 1; }
ip route add default dev lkm 2>/dev/null
for _ in $(seq 40); do ip -br link show lkm | grep -q LOWER_UP && break; sleep 0.05; done

ZELVO_LINK_TEST_DRIVE=1 ZELVO_LINK_FRAME_TRACE="$work/master.trace" QT_QPA_PLATFORM=offscreen \
  ZELVO_LINK_TEST_MEDIA="$fixtures/01-h264.mp4:$fixtures/03-h264.mkv" \
  "$program" --state-dir "$work/master" > "$work/master.log" 2>&1 &
pids+=($!)

"$driver" --drive 127.0.0.1 "$code" Bench 424242 "$work/master.trace" "$work/backup.trace" "$work/backup" "$fixtures" "$takes"
status=$?
if [ $status != 0 ]; then
  echo "--- master log"; tail -n 30 "$work/master.log"
  echo "--- backup log"; tail -n 30 "$work/backup.log"
fi
exit $status
