#!/usr/bin/env bash
# Runs a command inside a private network namespace with only loopback up, so the web monitor's
# WebRTC viewers bind their fixed UDP port range (50200-50399) where nothing else lives and nothing
# leaves the machine. Exit 77 (skip) when no namespace can be made here.
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
"$@"
