#!/usr/bin/env bash
# Installs what the project needs from Debian 12's packages, and only what is missing.
# Runs as root, or through sudo for another user.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev qt6-translations-l10n qt6-multimedia-dev
    pulseaudio pulseaudio-utils
    libxml2-dev libxml2-utils
    zlib1g-dev
    libxcb1-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    clang libclang-rt-14-dev
    fonts-ipafont-gothic
    xvfb xauth
    dpkg-dev file lintian desktop-file-utils appstream man-db
    openbox xdotool at-spi2-core dbus-daemon gir1.2-atspi-2.0 python3-gi
)

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup: these packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
