#!/usr/bin/env bash
# Runs a command inside a private network namespace laid out as a small LAN: a bridge with three
# hosts on veth pairs, our side zpa (10.77.0.1, fixed MAC) and two peer sides zpb (10.77.0.2) and
# zpc (10.77.0.3), where the standard peers (ptp4l, ffmpeg, GStreamer) listen; each side has its own
# MAC, so each ptp4l has its own clock identity. The bridge floods multicast to every port; the
# kernel is told to accept datagrams between these local addresses. Receivers that join a group
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

set_accepting() {
  sysctl -qw "net.ipv4.conf.$1.accept_local=1" "net.ipv4.conf.$1.rp_filter=0"
}
ip link set lo up || exit 1
set_accepting all && set_accepting default || exit 1
ip link add br0 type bridge mcast_snooping 0 && ip link set br0 up || exit 1
host=1
for side in zpa zpb zpc; do
  ip link add $side type veth peer name $side-br || exit 1
  ip link set $side address 02:c0:de:77:00:0$host && ip addr add 10.77.0.$host/24 dev $side || exit 1
  ip link set $side-br master br0 && ip link set $side-br up && ip link set $side up || exit 1
  set_accepting $side || exit 1
  host=$((host + 1))
done
ip route add 224.0.0.0/4 dev zpb || exit 1
# The links come up asynchronously; wait until every side runs (at most 3 s).
for _ in $(seq 30); do
  [ "$(ip -br link show up | grep -c '^zp[abc]@.*LOWER_UP')" = 3 ] && break
  sleep 0.1
done
"$@"
