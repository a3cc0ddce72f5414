#!/usr/bin/env bash
# Runs a command inside a private network namespace made for the Link tests: loopback up and a
# veth pair (lnk0 10.78.0.1/24, its peer lnk1 up without an address), so that the master's
# broadcast beacons have an ordinary broadcast interface and come back to listeners on this
# machine. Nothing leaves the namespace, which goes away with this script. Exit 77 (skip) when no
# namespace can be made here.
#   link-netns.sh COMMAND [ARGS...]
set -u
if [ -z "${ZELVO_LINK_IN_NETNS:-}" ]; then
  if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: the Link tests need unshare and ip (iproute2) for a private network namespace"
    exit 77
  fi
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n env ZELVO_LINK_IN_NETNS=1 "$0" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n env ZELVO_LINK_IN_NETNS=1 "$0" "$@"
  fi
  echo "SKIP: cannot create a network namespace here (unshare -n failed)"
  exit 77
fi

ip link set lo up || exit 1
ip link add lnk0 type veth peer name lnk1 && ip addr add 10.78.0.1/24 brd 10.78.0.255 dev lnk0 \
  && ip link set lnk1 up && ip link set lnk0 up \
  || echo "note: no veth interface; beacons have only 255.255.255.255"
# 255.255.255.255 leaves through the veth; without a route the kernel refuses the send.
ip route add default dev lnk0 2>/dev/null || true
for _ in $(seq 20); do
  ip -br link show lnk0 2>/dev/null | grep -q LOWER_UP && break
  sleep 0.1
done
"$@"
