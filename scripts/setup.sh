#!/usr/bin/env bash
# Prepares a Debian 12 machine (as root) to build, run and test the daemon, then builds it.
# Safe to run again: it installs only what is missing and reuses the build folder.
#   scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
# BUILD_TARGETS, when set, names the targets to build instead of all of them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-"$root/build"}
shift || true

packages=(
    build-essential cmake pkg-config
    libspdlog-dev libfmt-dev libyaml-cpp-dev
    libboost-dev libboost-program-options-dev libboost-system-dev
    libzmq3-dev cppzmq-dev libacl1-dev libsystemd-dev libgtest-dev libssl-dev libnats-dev
    # used by the tests, the demo and the package build
    acl attr e2fsprogs systemd procps dpkg-dev file man-db util-linux mount strace socat
    nats-server rsyslog-czmq
    clang libclang-rt-14-dev clang-format clang-tidy
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The daemon hands its log file to these groups; a package's install step would create them.
for group in velmo-admin velmo-audit; do
    getent group "$group" >/dev/null || groupadd --system "$group"
done

cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
read -ra targets <<<"${BUILD_TARGETS:-all}"
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"
