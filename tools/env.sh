#!/usr/bin/env bash
# Runs a command where Python 3.14 (with headers, debug build, PyYAML, pytest)
# is available: directly when this machine already has it, otherwise inside a
# cached Debian testing root, entered through a private mount namespace so no
# mount outlives the command.
#
#   tools/env.sh CMD [ARGS...]
#   TAVIK_ROOT=cross tools/env.sh CMD...   x86_64, with the aarch64 cross compiler
#   TAVIK_ROOT=arm64 tools/env.sh CMD...   the aarch64 target, run under qemu-user
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${TAVIK_ROOT:-native}

# Packages of the root; a changed list makes a new root (the cache key).
# FOREIGN: arm64 packages added to an amd64 root after bootstrapping.
ARCH="" FOREIGN=""
case $kind in
native)
    PACKAGES="python3.14-dev python3.14-dbg python3-yaml python3-pytest
python3-hypothesis python3-scikit-build-core python3-pip python3-venv
g++ cmake ninja-build make python3-mypy python3-auditwheel cython3
valgrind" ;;
cross)
    # The build tools run natively; only the compiler's output and the
    # Python headers are for the target.
    PACKAGES="python3.14 python3-scikit-build-core python3-pip cmake
ninja-build make g++-aarch64-linux-gnu"
    FOREIGN="libpython3.14-dev:arm64" ;;
arm64)
    # What the tests import and run; nothing is compiled here.
    ARCH=arm64
    PACKAGES="python3.14 python3-yaml python3-pytest python3-hypothesis
python3-pip python3-venv python3-mypy python3-auditwheel make" ;;
*)
    echo "env.sh: TAVIK_ROOT is native, cross or arm64, not '$kind'" >&2; exit 2 ;;
esac

host_ready() {
    [ -n "${TAVIK_IN_ROOT:-}" ] && return 0
    case $kind in
    native) ;;
    arm64) [ "$(uname -m)" = aarch64 ] || return 1 ;;
    *) return 1 ;;
    esac
    command -v python3.14 >/dev/null 2>&1 || return 1
    [ "$kind" = arm64 ] || command -v python3.14d >/dev/null 2>&1 || return 1
    python3.14 - <<'PY' >/dev/null 2>&1
import sysconfig, os, yaml, pytest
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

if host_ready; then
    exec "$@"
fi

[ "$(id -u)" = 0 ] || { echo "env.sh: building the Python 3.14 root needs root" >&2; exit 1; }

cache=${TAVIK_ROOT_CACHE:-/var/cache/tavik-roots}
if [ "$kind" = native ]; then
    key=$(printf '%s\n' $PACKAGES | sort | sha256sum | cut -c1-16)
    root="$cache/forky-$key"
else
    key=$(printf '%s\n' $PACKAGES $FOREIGN "arch=$ARCH" | sort | sha256sum | cut -c1-16)
    root="$cache/forky-$kind-$key"
fi

mirror() {
    # The machine's own Debian mirror, from its apt sources (deb822 or one-line).
    local m=""
    if ls /etc/apt/sources.list.d/*.sources >/dev/null 2>&1; then
        m=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources)
    fi
    if [ -z "$m" ] && [ -f /etc/apt/sources.list ]; then
        m=$(awk '$1 == "deb" && $0 !~ /security/ {for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; exit}}' /etc/apt/sources.list)
    fi
    [ -n "$m" ] || { echo "env.sh: no Debian mirror in the apt sources" >&2; exit 1; }
    echo "$m"
}

host_install() {
    # Roots of several kinds may be made at once; their installs on the
    # host take turns, as apt allows only one at a time.
    (
        flock 8
        missing="" p=""
        for p in "$@"; do
            dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
        done
        [ -z "$missing" ] && exit 0
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    ) 8>"$cache/host-install.lock"
}

# An arm64 root on another machine runs through qemu-user, registered with
# binfmt_misc's fix-binary flag: the kernel opens the emulator at
# registration, so it need not exist inside the root.
QEMU_MAGIC='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
QEMU_MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt=/proc/sys/fs/binfmt_misc
ensure_qemu() {
    [ "$kind" = arm64 ] && [ "$(uname -m)" != aarch64 ] || return 0
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    host_install qemu-user-static
    local entry
    for entry in "$binfmt"/qemu-aarch64*; do
        [ -e "$entry" ] || continue
        grep -q '^enabled' "$entry" && grep -q '^flags:.*F' "$entry" && return 0
        # Registered without the fix-binary flag (or disabled): inside the
        # root the emulator would not be found.
        echo -1 >"$entry"
    done
    printf ':qemu-aarch64:M::%s:%s:/usr/bin/qemu-aarch64-static:F\n' "$QEMU_MAGIC" "$QEMU_MASK" >"$binfmt/register"
}

# enter ROOT DIR CMD...: runs CMD inside ROOT, in DIR (bound at the same
# path; "/" binds nothing), with /dev, /proc and a private /tmp.
enter() {
    local root=$1 dir=$2 cwd
    shift 2
    cwd=$(pwd)
    [ "$dir" != / ] || cwd=/
    unshare --mount --propagation private bash -c '
        set -e
        root=$1 dir=$2 cwd=$3 kind=$4; shift 4
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount -t tmpfs tmpfs "$root/tmp"
        if [ "$dir" != / ]; then
            mkdir -p "$root$dir"
            mount --bind "$dir" "$root$dir"
        fi
        exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" TAVIK_IN_ROOT="$kind" \
            DEBIAN_FRONTEND=noninteractive bash -c '\''cd "$0" && exec "$@"'\'' "$cwd" "$@"
    ' _ "$root" "$dir" "$cwd" "$kind" "$@"
}

make_root() {
    host_install debootstrap
    local script=/usr/share/debootstrap/scripts/sid
    local tmp="$root.tmp.$$" log="$cache/debootstrap-${root##*/forky-}.log"
    mkdir -p "$cache"
    rm -rf "$tmp"
    echo "env.sh: creating the $kind Python 3.14 root in $root (a minute; arm64 under emulation, 5 to 15)" >&2
    {
        debootstrap --variant=minbase ${ARCH:+--arch=$ARCH} \
            --include="$(echo $PACKAGES | tr ' ' ',')" \
            forky "$tmp" "$(mirror)" "$script" &&
        if [ -n "$FOREIGN" ]; then
            enter "$tmp" / dpkg --add-architecture arm64 &&
            enter "$tmp" / apt-get -o Acquire::Check-Valid-Until=false update -q &&
            enter "$tmp" / apt-get install -y -q --no-install-recommends $FOREIGN &&
            enter "$tmp" / apt-get clean
        fi
    } >"$log" 2>&1 || {
        tail -n 30 "$log" >&2
        rm -rf "$tmp"
        exit 1
    }
    mv "$tmp" "$root"
}

# Only one run builds a root; the others wait for it (and only for it).
mkdir -p "$cache"
exec 9>"$root.lock"
flock 9
ensure_qemu
[ -x "$root/usr/bin/python3.14" ] || make_root
flock -u 9

# The command runs in the work tree, at the same path inside the root.
enter "$root" "$here" "$@"
