#!/bin/sh
# An OpenSSH server on 127.0.0.1 for the remote registry's tests and benchmark:
# a free port, a host key and two client keys (one authorized, one not) made in
# DIR, nothing of the machine's own ssh set-up used or changed.
#
#   loopback-sshd.sh start DIR [PID]  prints the port; DIR/env then sets QVTR_SSH for the
#                                     authorized key, DIR/refused_ssh the same with the other;
#                                     with PID, the server also stops when that process ends
#   loopback-sshd.sh stop DIR
#
# Needs root (sshd checks the keys of the user who logs in) and openssh-server;
# without them exit 77 and say why.
set -eu
action=${1:?usage: loopback-sshd.sh start|stop DIR}
dir=${2:?usage: loopback-sshd.sh start|stop DIR}

if [ "$action" = stop ]; then
    [ -f "$dir/sshd.pid" ] && kill "$(cat "$dir/sshd.pid")" 2>/dev/null || true
    exit 0
fi

sshd=/usr/sbin/sshd
if [ "$(id -u)" -ne 0 ]; then
    echo "loopback-sshd: needs root" >&2
    exit 77
fi
for tool in "$sshd" ssh ssh-keygen; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "loopback-sshd: $tool not installed (Debian: openssh-server, openssh-client)" >&2
        exit 77
    fi
done

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# sshd refuses to start without its privilege separation directory.
[ -d /run/sshd ] || mkdir -p -m 0755 /run/sshd
for key in host client refused; do
    [ -f "$dir/$key" ] || ssh-keygen -q -t ed25519 -N '' -C "qvtr-test-$key" -f "$dir/$key"
done
cp "$dir/client.pub" "$dir/authorized_keys"
chmod 600 "$dir/authorized_keys"

ssh_for() {
    echo "ssh -o BatchMode=yes -o ConnectTimeout=10 -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null" \
        "-o LogLevel=ERROR -o IdentitiesOnly=yes -o IdentityAgent=none -F /dev/null -i $dir/$1 -p $2 -l root"
}

# A port that is free now; another process may take it first, so a few are tried.
for attempt in 1 2 3 4 5 6 7 8; do
    port=$(( ( $(od -An -N2 -tu2 /dev/urandom) % 30000 ) + 20000 ))
    cat >"$dir/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $dir/host
AuthorizedKeysFile $dir/authorized_keys
PidFile $dir/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
MaxStartups 100
EOF
    rm -f "$dir/sshd.pid"
    if "$sshd" -f "$dir/sshd_config" -E "$dir/sshd.log"; then
        for wait in 1 2 3 4 5 6 7 8 9 10; do
            [ -s "$dir/sshd.pid" ] && break
            sleep 0.1
        done
        if [ -s "$dir/sshd.pid" ] && $(ssh_for client "$port") 127.0.0.1 true </dev/null 2>/dev/null; then
            echo "export QVTR_SSH=\"$(ssh_for client "$port")\"" >"$dir/env"
            ssh_for refused "$port" >"$dir/refused_ssh"
            if [ -n "${3:-}" ]; then
                # A test killed before it could stop the server takes the server with it. The
                # watcher has a session of its own, so that a kill of the test's whole process
                # group (a time limit's) does not take the watcher alone; it knows the server's
                # pid, since the test's directory may be swept away first.
                setsid sh -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; kill "$2" 2>/dev/null' \
                    watcher "$3" "$(cat "$dir/sshd.pid")" </dev/null >/dev/null 2>&1 &
            fi
            echo "$port"
            exit 0
        fi
        [ -f "$dir/sshd.pid" ] && kill "$(cat "$dir/sshd.pid")" 2>/dev/null || true
    fi
done
echo "loopback-sshd: sshd did not start; its log:" >&2
cat "$dir/sshd.log" >&2 || true
exit 1
