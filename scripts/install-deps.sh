#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only
# those that are missing.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libsdl2-dev libpulse-dev
    libpipewire-0.3-dev libspa-0.2-dev libsndfile1-dev libsamplerate0-dev libasound2-dev
    libdbus-1-dev
    # fonts standing in for Verdana, Arial and MS Sans Serif; Qt's texts in Turkish
    fonts-dejavu-core fonts-liberation2 qt6-translations-l10n
    # Wayland sessions, and a headless compositor to test on
    qt6-wayland weston
    # the package and its validators
    dpkg-dev file lintian desktop-file-utils appstream man-db
    # the Debian 13 chroot the last stage of ./test builds in
    debootstrap
    # headless runs, sound checks and screenshots
    xvfb xauth x11-apps x11-utils xdotool imagemagick pulseaudio pulseaudio-utils
    pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon openbox libxtst-dev libxcb1-dev
    # the accessibility bus a screen reader listens on
    at-spi2-core dbus-bin
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
