#!/usr/bin/env bash
# Builds the container image simlinecaster:<version> from packaging/container/Containerfile
# with podman, or docker when podman is not there, around the Debian package that
# scripts/package.sh builds. Prints the image's tag as its last line.
# Usage: scripts/image.sh [--base-from-mirror [--base-tar FILE]] [--deb FILE]
#   --base-from-mirror  make the base image debian:bookworm-slim here, with mmdebstrap
#                       from this machine's own apt sources, for a machine that cannot
#                       pull it (needs root and mmdebstrap)
#   --base-tar FILE     keep that base as a tarball in FILE and reuse it when it is there
#   --deb FILE          put this package in the image instead of building one
set -euo pipefail

usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "image.sh: $*" >&2; echo "Try 'scripts/image.sh --help'." >&2; exit 2; }

from_mirror=0 base_tar='' deb=''
while [ $# -gt 0 ]; do
    case $1 in
        -h | --help) usage; exit 0 ;;
        --base-from-mirror) from_mirror=1 ;;
        --base-tar) [ $# -ge 2 ] || fail "--base-tar needs a file"; base_tar=$(realpath -m -- "$2"); shift ;;
        --deb) [ $# -ge 2 ] || fail "--deb needs a file"; deb=$(realpath -m -- "$2"); shift ;;
        *) fail "unknown argument '$1'" ;;
    esac
    shift
done
[ -z "$base_tar" ] || [ $from_mirror = 1 ] || fail "--base-tar goes with --base-from-mirror"
[ -z "$deb" ] || [ -f "$deb" ] || fail "no package at '$deb'"

repo=$(cd "$(dirname "$0")/.." && pwd)
if command -v podman >/dev/null; then
    engine=podman
elif command -v docker >/dev/null; then
    engine=docker
else
    echo "image.sh: neither podman nor docker is installed (apt-get install podman)" >&2
    exit 1
fi

if [ -z "$deb" ]; then
    deb=$("$repo/scripts/package.sh" | tail -n 1)
fi
[ -f "$deb" ] || { echo "image.sh: scripts/package.sh gave no package" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
tag=simlinecaster:$version

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Debian entries (bookworm, -updates, -security; component main) of this machine's
# apt sources, in one-line form: the same mirror the machine itself installs from.
mirror_entries() {
    local files=()
    [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && files+=("$f")
    done
    [ ${#files[@]} -gt 0 ] || return 0
    awk '
        function flush(   i, j, nu, ns, u, s) {
            if (types ~ /(^| )deb( |$)/ && comps ~ /(^| )main( |$)/) {
                nu = split(uris, u, " "); ns = split(suites, s, " ")
                for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++)
                    if (s[j] ~ /^bookworm(-updates|-security)?$/) print "deb " u[i] " " s[j] " main"
            }
            types = uris = suites = comps = ""
        }
        FNR == 1 { flush() }
        FILENAME ~ /\.sources$/ {
            if ($0 ~ /^[[:space:]]*$/) { flush(); next }
            key = $1; $1 = ""
            if (key == "Types:") types = $0
            else if (key == "URIs:") uris = $0
            else if (key == "Suites:") suites = $0
            else if (key == "Components:") comps = $0
            next
        }
        /^[[:space:]]*deb[[:space:]]/ {
            sub(/\[[^]]*\]/, "")
            if ($3 ~ /^bookworm(-updates|-security)?$/)
                for (i = 4; i <= NF; i++) if ($i == "main") print "deb " $2 " " $3 " main"
        }
        END { flush() }' "${files[@]}" | sort -u
}

# debian:bookworm-slim as its makers make it: minbase, without documentation, man
# pages and translations, and dpkg without fsync (these dpkg options stay in the
# image for later installs, as in Debian's own images).
make_base() {
    local tar=$1
    mirror_entries >"$work/sources.list"
    [ -s "$work/sources.list" ] || { echo "image.sh: no bookworm main entry in /etc/apt/sources.list*" >&2; exit 1; }
    command -v mmdebstrap >/dev/null || { echo "image.sh: mmdebstrap is not installed" >&2; exit 1; }
    # Merged /usr made by mmdebstrap's hook, as Debian's images have it, rather than
    # by the usrmerge package, which would bring perl into the image.
    local hook=/usr/share/mmdebstrap/hooks/merged-usr hooks=()
    [ -d "$hook" ] && hooks=(--hook-dir="$hook")
    echo "making the base image with mmdebstrap (a minute or more)" >&2
    mmdebstrap --quiet --variant=minbase --format=tar "${hooks[@]}" \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright' \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/info/*' \
        --dpkgopt='path-exclude=/usr/share/groff/*' --dpkgopt='path-exclude=/usr/share/lintian/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' --dpkgopt=force-unsafe-io \
        bookworm "$work/base.tar.part" "$work/sources.list" >&2
    # Only a finished tarball is kept for the next build; two builds at once each
    # make their own and the last one's stays.
    mv "$work/base.tar.part" "$tar.$$" && mv -f "$tar.$$" "$tar"
}

if [ $from_mirror = 1 ]; then
    tar=${base_tar:-$work/base.tar}
    if [ -s "$tar" ]; then
        echo "base image from $tar" >&2
    else
        mkdir -p "$(dirname "$tar")"
        make_base "$tar"
    fi
    "$engine" import --quiet "$tar" debian:bookworm-slim >/dev/null
fi

source=$(git -C "$repo" remote get-url origin 2>/dev/null || echo "simlinecaster source tree")
revision=$(git -C "$repo" rev-parse HEAD 2>/dev/null || echo unknown)
cp "$repo/packaging/container/Containerfile" "$work/Containerfile"
cp "$deb" "$work/simlinecaster.deb"
# The build's apt-get reaches the mirror through the host's own network.
"$engine" build --network host --file "$work/Containerfile" --tag "$tag" \
    --build-arg "VERSION=$version" --build-arg "SOURCE=$source" --build-arg "REVISION=$revision" \
    "$work" >&2
echo "$tag"
