#!/usr/bin/env bash
# Installs the Debian packages that a make target needs, only when some are missing.
# Usage: scripts/deps.sh GROUP...   (groups: build test app package bench fuzz format)
set -euo pipefail

declare -A GROUP=(
    # python3 makes the manual pages and the bash completion (docs/man/mdroff.py).
    [build]="cmake ninja-build g++ make ccache python3"
    # dpkg-dev, file, lintian and groff-base: the package test builds the .deb and checks it and its pages, with
    # desktop-file-validate (desktop-file-utils) and appstreamcli (appstream). parallel and
    # python3-yaml: the shards run through GNU parallel and the Kubernetes example is read.
    [test]="libgtest-dev libgmock-dev python3 python3-yaml parallel mmdb-bin python3-maxminddb libmaxmind-db-writer-perl libmaxmind-db-reader-perl dnsmasq dpkg-dev file lintian groff-base desktop-file-utils appstream"
    # libxcb1-dev and pkgconf: the output pane reads other programs' X11 selections itself.
    # librsvg2-bin: rsvg-convert draws the menu icons from the SVG at build time.
    [app]="qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev pkgconf xvfb xauth librsvg2-bin"
    # cpack's DEB generator finds the package's dependencies with dpkg-shlibdeps and file.
    [package]="dpkg-dev file"
    [bench]="libbenchmark-dev prips iprange hyperfine coreutils npm libmaxminddb-dev time dnsmasq dnsperf bind9-dnsutils bc"
    [fuzz]="clang-14 libclang-rt-14-dev"
    # make format and format-check (.ci/run): the style of .clang-format as Debian 12's clang-format 14 reads it.
    [format]="clang-format"
)

want=()
for g in "$@"; do
    for p in ${GROUP[$g]:?unknown group $g}; do want+=("$p"); done
done

missing=()
for p in "${want[@]}"; do
    # npm may come with a nodejs build that is not Debian's (and conflicts with Debian's npm).
    [ "$p" = npm ] && command -v npm >/dev/null && continue
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
