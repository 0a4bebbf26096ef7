#!/bin/sh
# Runs a command in a private network namespace with only the loopback up, so DDS discovery
# multicast cannot leave the machine; Cyclone DDS is told to use that loopback.
CYCLONEDDS_URI="${CYCLONEDDS_URI:-file://$(cd "$(dirname "$0")" && pwd)/cyclonedds.xml}"
export CYCLONEDDS_URI
exec unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && exec "$@"' netns "$@"
