#!/usr/bin/env bash
# Runs a command inside a private network namespace laid out as a small LAN: a veth pair with our
# side zpa (10.77.0.1, fixed MAC) and the peer's side zpb (10.77.0.2), where the standard peers
# (ptp4l, ffmpeg, GStreamer) listen. Multicast sent on one end crosses the pair to the other; the
# kernel is told to accept it although both addresses are local. Receivers that join a group
# without naming an interface join on zpb. Nothing leaves the namespace, which goes away with this
# script. Exit 77 (skip) when no namespace can be made here; PTP ports and ptp4l need root.
#   interop-netns.sh COMMAND [ARGS...]
set -u
if [ -z "${ZELVO_INTEROP_IN_NETNS:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: the interoperability tests need root, unshare and ip (iproute2) for a private network namespace"
    exit 77
  fi
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot create a network namespace here (unshare -n failed)"
    exit 77
  fi
  exec unshare -n env ZELVO_INTEROP_IN_NETNS=1 "$0" "$@"
fi

ip link set lo up || exit 1
set_accepting() {
  sysctl -qw "net.ipv4.conf.$1.accept_local=1" "net.ipv4.conf.$1.rp_filter=0"
}
set_accepting all && set_accepting default || exit 1
ip link add zpa type veth peer name zpb || exit 1
ip link set zpa address 02:c0:de:77:00:01 && ip link set zpb address 02:c0:de:77:00:02 || exit 1
ip addr add 10.77.0.1/24 dev zpa && ip addr add 10.77.0.2/24 dev zpb || exit 1
set_accepting zpa && set_accepting zpb || exit 1
ip link set zpa up && ip link set zpb up || exit 1
ip route add 224.0.0.0/4 dev zpb || exit 1
# The link comes up asynchronously; wait until both ends run (at most 2 s).
for _ in $(seq 20); do
  ip -br link show zpa | grep -q LOWER_UP && ip -br link show zpb | grep -q LOWER_UP && break
  sleep 0.1
done
"$@"
