#!/usr/bin/env bash
# Runs a command inside a private network namespace, so the web monitor's WebRTC viewers bind their
# fixed UDP port range (50200-50399) where nothing else lives and nothing leaves the machine. Besides
# loopback it has one veth pair (web0 10.77.0.1/24), as a machine has a LAN interface: a browser
# gathers no ICE candidates on loopback alone. Exit 77 (skip) when no namespace can be made here.
#   web-netns.sh COMMAND [ARGS...]
set -u
if [ -z "${ZELVO_WEB_IN_NETNS:-}" ]; then
  if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: the web monitor tests need unshare and ip (iproute2) for a private network namespace"
    exit 77
  fi
  if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n env ZELVO_WEB_IN_NETNS=1 "$0" "$@"
  elif unshare -r -n true 2>/dev/null; then
    exec unshare -r -n env ZELVO_WEB_IN_NETNS=1 "$0" "$@"
  fi
  echo "SKIP: cannot create a network namespace here (unshare -n failed)"
  exit 77
fi
ip link set lo up || exit 1
ip link add web0 type veth peer name web1 && ip addr add 10.77.0.1/24 dev web0 && ip link set web1 up \
  && ip link set web0 up || echo "note: no veth interface; everything runs on loopback"
for _ in $(seq 20); do
  ip -br link show web0 2>/dev/null | grep -q LOWER_UP && break
  sleep 0.1
done
"$@"
