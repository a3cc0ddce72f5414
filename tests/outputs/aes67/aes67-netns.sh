#!/usr/bin/env bash
# Runs a command inside a private network namespace made for the AES67 tests: loopback up and a
# veth pair (aes0 10.67.0.1/24 with a fixed MAC, its peer aes1 up without an address), so that the
# sender has one ordinary multicast interface besides loopback. Nothing leaves the namespace, and
# the namespace goes away with this script. Exit 77 (skip) when no namespace can be made here.
#   aes67-netns.sh COMMAND [ARGS...]
set -u
if [ -z "${ZELVO_AES67_IN_NETNS:-}" ]; then
  if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: the AES67 tests need unshare and ip (iproute2) for a private network namespace"
    exit 77
  fi
  # As root a plain network namespace; otherwise one inside a new user namespace, where that is allowed.
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n env ZELVO_AES67_IN_NETNS=1 "$0" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n env ZELVO_AES67_IN_NETNS=1 "$0" "$@"
  fi
  echo "SKIP: cannot create a network namespace here (unshare -n failed)"
  exit 77
fi

ip link set lo up || exit 1
ip link add aes0 type veth peer name aes1 && ip link set aes0 address 02:c0:de:67:00:01 \
  && ip addr add 10.67.0.1/24 dev aes0 && ip link set aes1 up && ip link set aes0 up \
  || echo "note: no veth interface; everything runs on loopback"
# The veth link comes up asynchronously; wait until it is running (at most 2 s).
for _ in $(seq 20); do
  ip -br link show aes0 2>/dev/null | grep -q LOWER_UP && break
  sleep 0.1
done
"$@"
