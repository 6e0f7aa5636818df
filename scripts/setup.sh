#!/bin/sh
# Installs every build, test and test-kit dependency from Debian packages.
# Safe to run again: packages already present are not touched, and apt is
# only consulted when something is missing.
set -eu

PACKAGES="g++ make cmake pkg-config
libmongoc-dev libbson-dev libboost-dev nlohmann-json3-dev libpugixml-dev
libsqlite3-dev libssl-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
python3 python3-pymongo openssl"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  echo "setup: all dependencies present"
  exit 0
fi

echo "setup: installing$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
