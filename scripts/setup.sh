#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and demonstrate the updater.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    cmake make g++ pkg-config ca-certificates \
    qtbase5-dev qttools5-dev qttools5-dev-tools \
    zlib1g-dev libtomcrypt-dev libtfm-dev libtommath-dev \
    nginx openssl curl python3 time iproute2 acl
