#!/usr/bin/env bash
# Runs a command where Python 3.14 (with headers, debug build, PyYAML, pytest)
# is available: directly when this machine already has it, otherwise inside a
# cached Debian testing root, entered through a private mount namespace so no
# mount outlives the command.
#
#   tools/env.sh CMD [ARGS...]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages of the root; a changed list makes a new root (the cache key).
PACKAGES="python3.14-dev python3.14-dbg python3-yaml python3-pytest
python3-hypothesis python3-scikit-build-core python3-pip python3-venv
g++ cmake ninja-build make python3-mypy python3-auditwheel cython3
valgrind"

host_ready() {
    [ -n "${TAVIK_IN_ROOT:-}" ] && return 0
    command -v python3.14 >/dev/null 2>&1 || return 1
    command -v python3.14d >/dev/null 2>&1 || return 1
    python3.14 - <<'EOF' >/dev/null 2>&1
import sysconfig, os, yaml, pytest
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
EOF
}

if host_ready; then
    exec "$@"
fi

[ "$(id -u)" = 0 ] || { echo "env.sh: building the Python 3.14 root needs root" >&2; exit 1; }

key=$(printf '%s\n' $PACKAGES | sort | sha256sum | cut -c1-16)
cache=${TAVIK_ROOT_CACHE:-/var/cache/tavik-roots}
root="$cache/forky-$key"

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

make_root() {
    command -v debootstrap >/dev/null 2>&1 || {
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    }
    local script=/usr/share/debootstrap/scripts/sid
    local tmp="$root.tmp.$$"
    mkdir -p "$cache"
    rm -rf "$tmp"
    echo "env.sh: creating the Python 3.14 root in $root (about a minute)" >&2
    debootstrap --variant=minbase --include="$(echo $PACKAGES | tr ' ' ',')" \
        forky "$tmp" "$(mirror)" "$script" >"$cache/debootstrap-$key.log" 2>&1 || {
        tail -n 30 "$cache/debootstrap-$key.log" >&2
        rm -rf "$tmp"
        exit 1
    }
    mv "$tmp" "$root"
}

# Only one run builds the root; the others wait for it.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
[ -x "$root/usr/bin/python3.14" ] || make_root
flock -u 9

# The command runs in the work tree, at the same path inside the root.
quoted=$(printf '%q ' "$@")
exec unshare --mount --propagation private bash -c '
    set -e
    root=$1; dir=$2; cmd=$3
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" TAVIK_IN_ROOT=1 \
        bash -c "cd \"\$0\" && exec $cmd" "$(pwd)"
' _ "$root" "$here" "$quoted"
