#!/usr/bin/env bash
# The release build and the whole release suite on Debian 13, in a chroot. The
# commit under test is cloned into it and installs what it needs with its own
# install step, as a new user would. The chroot comes from the archive apt already
# uses and is kept below ZEMBRA_CHROOT_CACHE (default /var/cache/zembra), made anew
# when missing or a week old. ZEMBRA_SKIP_DEBIAN13=1 skips the stage for quick
# local runs, but not under CI. Logs go to build-debian13/.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=trixie
if [[ -n ${ZEMBRA_SKIP_DEBIAN13:-} && ${ZEMBRA_SKIP_DEBIAN13} != 0 ]]; then
    if [[ -z ${CI:-} ]]; then
        echo "skipped: ZEMBRA_SKIP_DEBIAN13 is set"
        exit 0
    fi
    echo "ZEMBRA_SKIP_DEBIAN13 does not apply under CI"
    unset ZEMBRA_SKIP_DEBIAN13 # said once, not again by the run started below
fi

if [[ $(id -u) -ne 0 ]]; then
    exec sudo --preserve-env=CI,ZEMBRA_SKIP_DEBIAN13,ZEMBRA_CHROOT_CACHE "$0" "$@"
fi
# Every mount, also those debootstrap makes, lives in a namespace of its own, so a
# run that is killed outright leaves none behind on the host.
if [[ -z ${ZEMBRA_DEBIAN13_NS:-} ]]; then
    export ZEMBRA_DEBIAN13_NS=1
    exec unshare --mount --propagation private -- "$0" "$@"
fi

cache=$(realpath -m "${ZEMBRA_CHROOT_CACHE:-/var/cache/zembra}")
root=$cache/$suite-chroot
stamp=var/lib/zembra-chroot-made
logs=$PWD/build-debian13
src=/srv/zembra
mkdir -p "$cache" "$logs"
rm -f "$logs"/*.log

stage_start=$SECONDS
step_start=$SECONDS
step_done() { # WHAT
    echo "$1 in $((SECONDS - step_start)) s"
    step_start=$SECONDS
}
fail() { # LOG MESSAGE
    echo "$2; the end of $1:"
    tail -n 40 "$1"
    exit 1
}

# Another developer's run may be using the chroot.
exec 9>"$cache/$suite-chroot.lock"
if ! flock -n 9; then
    echo "waiting for another run's chroot"
    flock 9
fi

mounts=()
mount_in() { # TARGET MOUNT-ARGS...
    local target=$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounts+=("$target")
}
chroot_processes() {
    local p
    for p in /proc/[0-9]*; do
        [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]] && echo "${p#/proc/}"
    done
    return 0
}
cleanup() {
    local pids i
    # Servers the suite started and left behind would keep the mounts busy.
    mapfile -t pids < <(chroot_processes)
    if [[ ${#pids[@]} -gt 0 ]]; then
        kill "${pids[@]}" 2>/dev/null || true
        sleep 1
        mapfile -t pids < <(chroot_processes)
        [[ ${#pids[@]} -eq 0 ]] || kill -KILL "${pids[@]}" 2>/dev/null || true
    fi
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
    done
    mounts=()
}
trap 'exit 130' INT
trap 'exit 143' TERM
trap cleanup EXIT

# Removes a tree that may still have mounts below it, without crossing into them.
remove_tree() { # DIR
    local dir=$1 m
    [[ -e $dir ]] || return 0
    findmnt -rn -o TARGET | awk -v d="$dir/" 'index($0, d) == 1' | sort -r | while read -r m; do
        umount -l "$m"
    done
    rm -rf --one-file-system "$dir"
}

# The mirror is the one apt uses for this machine's own release (by its code name,
# or else the first suite apt names that is not an add-on to another).
# shellcheck disable=SC1091
host_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
repo_of() { # SUFFIX: "" for the release itself, or "-security"
    # shellcheck disable=SC2016 # apt's own placeholders
    apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
        awk -v r="$host_release$1" -v s="$1" '
            $1 == r { print $2; found = 1; exit }
            !first && (s == "" ? $1 !~ /-/ : substr($1, length($1) - length(s) + 1) == s) {
                first = $2
            }
            END { if (!found && first) print first }'
}

make_chroot() {
    local new=$root.new mirror security
    mirror=$(repo_of "")
    security=$(repo_of -security)
    [[ -n $mirror ]] || {
        echo "apt has no source to take the Debian mirror from"
        exit 1
    }
    remove_tree "$new"
    mkdir -p "$cache/$suite-debootstrap"
    debootstrap --cache-dir="$cache/$suite-debootstrap" "$suite" "$new" "$mirror" \
        >"$logs/debootstrap.log" 2>&1 ||
        fail "$logs/debootstrap.log" "debootstrap of $suite from $mirror failed"
    rm -f "$new/etc/apt/sources.list"
    {
        printf 'Types: deb\nURIs: %s\nSuites: %s %s-updates\nComponents: main\n' \
            "$mirror" "$suite" "$suite"
        printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        if [[ -n $security ]]; then
            printf '\nTypes: deb\nURIs: %s\nSuites: %s-security\nComponents: main\n' \
                "$security" "$suite"
            printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
        fi
    } >"$new/etc/apt/sources.list.d/debian.sources"
    # Packages must not start their services in the chroot.
    printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
    chmod 755 "$new/usr/sbin/policy-rc.d"
    touch "$new/$stamp"
    remove_tree "$root"
    mv "$new" "$root"
    echo "chroot: made from $mirror in $((SECONDS - step_start)) s"
    step_start=$SECONDS
}

if [[ -n $(find "$root/$stamp" -mtime -7 2>/dev/null) ]]; then
    echo "chroot: cached, made $(date -r "$root/$stamp" '+%F %R')"
else
    make_chroot
fi

remove_tree "$root$src"
commit=$(git rev-parse HEAD)
git clone -q --no-checkout . "$root$src"
git -C "$root$src" checkout -q --detach "$commit"

cp /etc/resolv.conf "$root/etc/resolv.conf"
mount_in "$root/proc" -t proc proc
mount_in "$root/sys" --bind /sys
mount_in "$root/dev" --bind /dev
mount_in "$root/dev/pts" --bind /dev/pts
mount_in "$root/dev/shm" -t tmpfs -o mode=1777 shm
mount_in "$root/tmp" -t tmpfs -o mode=1777 tmp
mount_in "$root/run" -t tmpfs -o mode=755 run
mkdir -m 1777 "$root/run/lock"
# Downloaded packages outlive the chroot's weekly renewal.
mkdir -p "$cache/$suite-apt-archives/partial"
mount_in "$root/var/cache/apt/archives" --bind "$cache/$suite-apt-archives"

in_chroot() { # LOG COMMAND
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/tmp/home LANG=C.UTF-8 ${CI+"CI=$CI"} \
        chroot "$root" /bin/bash -c "mkdir -p \$HOME && cd $src && $2" >"$1" 2>&1
}

in_chroot "$logs/install.log" 'scripts/install-deps.sh && apt-get autoclean -qq' ||
    fail "$logs/install.log" "the install step failed"
step_done "install step"

in_chroot "$logs/build.log" 'cmake -S . -B build-test -G Ninja -DZEMBRA_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DZEMBRA_BUILD_BENCH=ON -DZEMBRA_SANITIZE= &&
    cmake --build build-test' ||
    fail "$logs/build.log" "the release build failed"
step_done "release build"

if in_chroot "$logs/ctest.log" 'cd build-test && ctest --output-on-failure'; then
    step_done "release suite"
    grep -E 'tests passed|Total Test time' "$logs/ctest.log"
else
    step_done "release suite"
    head -n 400 "$logs/ctest.log"
    exit 1
fi
echo "Debian 13 stage: $((SECONDS - stage_start)) s"
