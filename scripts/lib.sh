# Sourced by the project's scripts: the one way to install Debian packages,
# find a Python and make its venv.
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# Every function fails with a message on stderr naming what it could not do.

# say MESSAGE...: a progress line, as every script prints them.
say() { echo "==> $*"; }

# die MESSAGE...: the script's last line, on stderr.
die() {
    echo "==> ${KELVANE_SCRIPT:-$(basename "$0")}: $*" >&2
    exit 1
}

# apt_install PACKAGE...: installs the Debian packages that are missing. One
# apt-get at a time among the project's scripts (make test runs several side
# by side), waiting for any other holder of dpkg's lock. Without root, fails
# naming the packages.
apt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        die "needs ${missing[*]}, which only root can install (apt-get)"
    fi
    say "installing ${missing[*]} with apt-get"
    flock /var/lock/kelvane-apt.lock bash -c 'apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$@"' apt "${missing[@]}" \
        >/dev/null 2>&1 || die "apt-get could not install ${missing[*]}"
}

# newest_python: the newest CPython >= 3.12 that can build the module
# (scripts/find-pythons says where it looks).
newest_python() {
    local py
    py=$("$(dirname "${BASH_SOURCE[0]}")/find-pythons" | tail -n 1) \
        || die "no CPython >= 3.12 with its C headers and venv module found (scripts/find-pythons tells where it looks)"
    printf '%s\n' "$py"
}

# python_venv PYTHON DIR [PIP ARGS...]: DIR as a working venv of PYTHON with a
# current pip (kept if it already is one, of that interpreter), then, if PIP
# ARGS are given, `pip install --quiet PIP ARGS...` into it.
python_venv() {
    local py=$1 dir=$2
    shift 2
    # One maker at a time: make test's lanes may ask for the same venv at once.
    mkdir -p "$(dirname "$dir")"
    flock "$dir.lock" "$(dirname "${BASH_SOURCE[0]}")/ensure-venv" "$py" "$dir" \
        || die "could not make the venv $dir from $py"
    if [ $# -gt 0 ]; then
        "$dir/bin/python" -m pip install --quiet "$@" || die "pip could not install $* into $dir"
    fi
}

# machine_cache DIR FALLBACK: prints DIR, a cache the machine's clones share,
# made if need be, where it may be written; else FALLBACK under the clone's
# build/ (without root, say).
machine_cache() {
    if mkdir -p "$1" 2>/dev/null && [ -w "$1" ]; then echo "$1"; else echo "$PWD/build/$2"; fi
}

# use_uv: sets `uv` to the path of uv, at its pinned version in .venv/uv,
# installed there first if need be (under the venv's lock: make test's lanes
# ask at once), and exports UV_CACHE_DIR, for what runs next and
# scripts/in-root alike: one cache for the machine, outside the clone, where
# root may write.
use_uv() {
    local venv=$PWD/.venv/uv version=0.13.10
    case $("$venv/bin/uv" --version 2>/dev/null) in
        "uv $version "*) ;;
        *)
            python_venv "$(newest_python)" "$venv" >/dev/null
            flock "$venv.lock" "$venv/bin/python" -m pip install --quiet "uv==$version" \
                || die "pip could not install uv $version into $venv"
            ;;
    esac
    UV_CACHE_DIR=$(machine_cache "${KELVANE_UV_CACHE:-/var/cache/kelvane/uv-cache}" uv-cache)
    export UV_CACHE_DIR
    uv=$venv/bin/uv
}

# use_ccache WHERE: CMake's builds of this tree (the tests' own, the debug
# and sanitizer builds; never the release wheels) compile through ccache from
# here on, with one cache per machine that every clone shares, outside the
# clone: a fresh clone, as CI makes, compiles only what changed. WHERE is
# host, or amd64 for the Debian root (its ccache, another version, keeps a
# cache of its own; scripts/in-root binds it). Paths under the clone are
# hashed relative to it, so that clones at other paths hit. Installs ccache
# with apt-get where it is missing and root may; without it, does nothing.
use_ccache() {
    if [ "$1" = host ] && ! command -v ccache >/dev/null; then
        [ "$(id -u)" = 0 ] && (apt_install ccache) >/dev/null 2>&1 || return 0
    fi
    CCACHE_DIR=$(machine_cache "${KELVANE_CCACHE:-/var/cache/kelvane/ccache}/$1" "ccache/$1")
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G
}

# dist_wheel DIR TAG ARCH: the release wheel in DIR for CPython TAG (cp314)
# on ARCH (x86_64 or aarch64).
dist_wheel() {
    local wheel
    wheel=$(ls "$1"/kelvane-*-"$2-$2"-manylinux*_"$3".whl 2>/dev/null) || die "no $2 $3 wheel in $1/: run make dist"
    printf '%s\n' "$wheel"
}
