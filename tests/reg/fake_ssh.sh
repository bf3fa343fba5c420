#!/bin/sh
# ssh for the differential cases (QVTR_SSH): the host "qvtrfar" runs the remote
# command on this machine, with this registry; any other host does not resolve.
if [ "$1" = qvtrfar ]; then
    exec sh -c "$2"
fi
echo "ssh: Could not resolve hostname $1: Name or service not known" >&2
exit 255
