#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev   # native builds, sanitizers, libFuzzer
    ccache                                            # compiler cache: a rerun compiles only what changed
    libgtest-dev libgmock-dev googletest              # tests (googletest: sources for cross builds)
    libbenchmark-dev libboost-dev                     # benchmarks
    libsqlite3-dev                                    # the POSIX registry store
    pkg-config                                        # the installed package test
    mingw-w64 wine64                                  # Windows builds and running their tests
    openssh-server openssh-client                     # the remote registry's tests: an sshd of their own on loopback
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
# No service of a package starts on this machine: the tests start their own sshd.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
    guard=/usr/sbin/policy-rc.d
    trap '$sudo rm -f "$guard"' EXIT
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$guard" >/dev/null
    $sudo chmod 755 "$guard"
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
