#!/usr/bin/env bash
# Runs the PTP socket test program inside a private network namespace: loopback up, and one end of a
# veth pair with a known MAC for the clock identity. The namespace (and everything in it) goes away
# when this script ends. Exit 77 (skip) when no namespace can be made here.
set -u
program=$1
shift
if [ -z "${ZELVO_PTP_IN_NETNS:-}" ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: the PTP socket tests need root, unshare and ip (iproute2) for a private network namespace"
    exit 77
  fi
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: cannot create a network namespace here (unshare -n failed)"
    exit 77
  fi
  exec unshare -n env ZELVO_PTP_IN_NETNS=1 "$0" "$program" "$@"
fi

ip link set lo up || exit 1
ip link add ptp0 type veth peer name ptp1 && ip link set ptp0 address 02:c0:de:12:34:56 \
  && ip addr add 10.93.0.1/24 dev ptp0 && ip link set ptp1 up && ip link set ptp0 up \
  || echo "note: no veth interface, the MAC identity case skips"

"$program" "$@" || exit $?
if command -v setpriv >/dev/null; then
  ZELVO_PTP_NO_BIND_CAP=1 setpriv --inh-caps=-net_bind_service --bounding-set=-net_bind_service \
    "$program" bindRefusedWithoutCapability || exit $?
fi
