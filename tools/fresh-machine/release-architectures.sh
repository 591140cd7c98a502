#!/bin/sh
# Proves each architecture of the release where its nodes stand, under
# qemu-user (this machine runs its own architecture alone), for every row of
# tools/architectures that runs under qemu:
#
# - the archive's tool under qemu-ARCH-static, on each CPU of its row, gives
#   the x86_64 tool's bytes on every captured `last` output and on the demo;
#   the test of the scan past January 2038, cross-built for it, passes there;
# - a node of its own: sysvinit 2.88's `last`, built statically for that
#   architecture, reads a wtmp that make-wtmp, built for it and run under
#   qemu, wrote in that machine's byte order and record layout; the
#   archive's tool gives the records' answer there. The node's foreign
#   programs run as a node's own do, through binfmt_misc: qemu is registered
#   in a user namespace of the check's own, never on the host;
# - its RPM, where it has one: that architecture in rpm's header, no library
#   soname required; installed in the node with rpm --root --ignorearch,
#   run, erased with no file of it left;
# - its .deb, where it has one: that architecture, and a Depends that names
#   no C library;
# - Debian 12 roots of armhf and s390x (a 32-bit little-endian node and a
#   big-endian one) made with debootstrap --foreign and finished under qemu:
#   the .deb installed there with apt, the tool giving the records' answer
#   from the root's own util-linux `last`.
#
#   tools/fresh-machine/release-architectures.sh [ARCH...]   (as root)
#
# Takes the release that release-artifacts.sh built in the shared work
# folder, or builds one. The finished Debian roots are cached beside the
# base roots.
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
. "$here/tools/architecture-table.sh"
begin_check release-architectures

step "architectures: set-up"
"$here/tools/install-prerequisites.sh" release
name=mean-reboot-interval
release=$work/release
[ -f "$release/SHA256SUMS" ] || "$here/tools/build-release" "$release" >/dev/null
top=$(basename "$release"/$name-*-linux-x86_64.tar.gz -linux-x86_64.tar.gz)
history_records >"$work/history.list"
records=$(grep -c . "$work/history.list")
if [ "$#" -eq 0 ]; then
    for arch in $(architecture_names); do
        architecture "$arch"
        [ "$arch_qemu" = - ] || set -- "$@" "$arch"
    done
fi
# Debian's architectures whose roots are made and the package installed in.
debian_roots="armhf s390x"

# A Debian 12 root of one of Debian's architectures, cached: debootstrap's
# first stage here, its second under qemu, as a new node's installer does.
foreign_base() {
    base=$cache/bookworm-$1-minbase.tar
    [ ! -f "$base" ] || return 0
    scratch=$work/debootstrap-$1
    rm -rf "$scratch"
    debootstrap --foreign --arch="$1" --variant=minbase bookworm "$scratch" "$mirror_uri" \
        >"$work/debootstrap-$1.log" 2>&1 || { tail -n 20 "$work/debootstrap-$1.log" >&2; return 1; }
    # Devices cannot be made in a user namespace: the first stage made them,
    # and the second is told it runs in a container that has them.
    with_qemu "$2" "$scratch/usr/bin/dpkg" env container=lxc chroot "$scratch" \
        /debootstrap/debootstrap --second-stage \
        >>"$work/debootstrap-$1.log" 2>&1 || { tail -n 20 "$work/debootstrap-$1.log" >&2; return 1; }
    tar -C "$scratch" -cf "$base.partial" . && mv "$base.partial" "$base"
    rm -rf "$scratch"
}

# Emulated, a root's second stage takes minutes on one core: the roots are
# made in the background, one job each, while the rest goes on.
root_jobs=""
trap 'for job in $root_jobs; do kill "${job#*:}" 2>/dev/null || true; done; end_check' EXIT
for arch in "$@"; do
    architecture "$arch"
    case " $debian_roots " in *" $arch_deb "*) ;; *) continue ;; esac
    foreign_base "$arch_deb" "$arch_qemu" >"$work/foreign-$arch_deb.out" 2>&1 &
    root_jobs="$root_jobs $arch_deb:$!"
done

# The archive's tool of ARCH, unpacked once.
archived_tool() {
    [ -x "$work/$1/$top/bin/$name" ] || {
        mkdir -p "$work/$1"
        tar -C "$work/$1" -xzf "$release/$top-linux-$1.tar.gz"
    }
    echo "$work/$1/$top/bin/$name"
}

# The sample history the demo reads, as wtmp.
host_build sample-wtmp

# What the tool at one path prints, with its status, on every captured
# `last` output (played by a stand-in over /usr/bin/last in a private mount
# namespace) and on the demo: one file each in DIR.
under_test=$work/under-test/$name
mkdir -p "$(dirname "$under_test")"
play_all() {
    mkdir -p "$1"
    count=0
    for fixture in $(captured_outputs); do
        count=$((count + 1))
        replay "$under_test" "$fixture" >"$1/$count"
    done
    "$here/demo/run-demo.sh" "$under_test" "$work/dynamic/sample.wtmp" >"$1/demo" 2>&1
}
cp "$(archived_tool x86_64)" "$under_test"
play_all "$work/played-x86_64"

# A node's command, its programs run by qemu on CPU (- for qemu's default).
in_arch_node() {
    cpu=$1
    shift
    cpu_setting=""
    [ "$cpu" = - ] || cpu_setting="QEMU_CPU=$cpu"
    # shellcheck disable=SC2086
    with_qemu "$arch_qemu" "$tool" chroot "$node" /bin/busybox env -i \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin $cpu_setting "$@"
}

for arch in "$@"; do
    architecture "$arch"
    [ "$arch_qemu" != - ] || fail "$arch runs natively here: nothing to prove under qemu"
    tool=$(archived_tool "$arch")
    first_cpu=$(echo "$arch_cpus" | awk '{ print $1 }')

    step "$arch: the x86_64 tool's bytes, on each CPU"
    for cpu in $arch_cpus; do
        cpu_option=""
        [ "$cpu" = - ] || cpu_option="-cpu $cpu"
        printf '#!/bin/sh\nexec qemu-%s-static %s -0 "$0" %s "$@"\n' "$arch_qemu" "$cpu_option" "$tool" \
            >"$under_test"
        chmod 0755 "$under_test"
        play_all "$work/played-$arch-$cpu"
        diff -r "$work/played-x86_64" "$work/played-$arch-$cpu" >&2 ||
            fail "$arch on CPU $cpu differs from x86_64"
        echo "$arch on CPU $cpu: the x86_64 tool's bytes on $count captured outputs and on the demo"
    done

    step "$arch: the scan past January 2038, and make-wtmp, built for it"
    build=$work/build-$arch
    # shellcheck disable=SC2046
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static \
        $(arch_cmake_options) >/dev/null
    cmake --build "$build" -j "$(nproc)" --target year-2038-test make-wtmp >/dev/null
    for cpu in $arch_cpus; do
        said=$(arch_run "$cpu" "$build/year-2038-test") || fail "$arch on CPU $cpu: $said"
        echo "$arch on CPU $cpu: year-2038-test: $said"
    done

    step "$arch: a node of its own, with sysvinit 2.88's last"
    static_sysvinit_last "$work/sysvinit-$arch" "CC=$arch_triplet-gcc"
    node=$work/node-$arch
    rm -rf "$node"
    busybox_node "$node" "$work/sysvinit-$arch/last"
    arch_run "$first_cpu" "$build/make-wtmp" "$work/history.list" "$node/var/log/wtmp"
    size=$(($(wc -c <"$node/var/log/wtmp") / records))
    install_archive "$arch" "$node"
    answer=$(in_arch_node "$first_cpu" mean-reboot-interval)
    [ "$answer" = "$expected" ] || fail "$arch: the tool gave '$answer', the records '$expected'"
    echo "$arch: wtmp of $records records of $size bytes ($(file -b "$work/sysvinit-$arch/last" |
        cut -d, -f1,2) last): $answer"
    rm -rf "${node:?}/usr/local"/*

    if [ "$arch_rpm" != - ]; then
        step "$arch: the RPM, with rpm --root"
        rpm_file=$release/$top-1.$arch_rpm.rpm
        header=$(rpm -qp --qf '%{ARCH}' "$rpm_file")
        [ "$header" = "$arch_rpm" ] || fail "$arch: the RPM's header says $header"
        ! rpm -qpR "$rpm_file" | grep -q '\.so' || fail "$arch: the RPM requires a library"
        build_provider
        rpm --root "$node" --initdb
        rpm --root "$node" -i "$provider"
        listing "$node" >"$work/before-rpm-$arch"
        rpm --root "$node" -i --ignorearch "$rpm_file"
        answer=$(in_arch_node "$first_cpu" mean-reboot-interval)
        [ "$answer" = "$expected" ] || fail "$arch: the RPM's tool gave '$answer'"
        rpm --root "$node" -e "$name"
        listing "$node" >"$work/after-rpm-$arch"
        diff "$work/before-rpm-$arch" "$work/after-rpm-$arch" || fail "$arch: rpm -e left files behind"
        echo "$arch: RPM of $header, requiring $(rpm -qpR "$rpm_file" | grep -v '^rpmlib' | sort -u |
            tr '\n' ' ')installed, answered, erased: no file left"
    fi

    if [ "$arch_deb" != - ]; then
        deb=$release/${name}_${top#"$name-"}_$arch_deb.deb
        [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch_deb" ] || fail "$arch: the .deb's architecture"
        depends=$(dpkg-deb -f "$deb" Depends)
        case $depends in *libc*) fail "$arch: the .deb depends on $depends" ;; esac
        echo "$arch: $(basename "$deb"): Depends: $depends"
    fi
done

for arch in "$@"; do
    architecture "$arch"
    case " $debian_roots " in *" $arch_deb "*) ;; *) continue ;; esac
    step "$arch: the .deb in a Debian 12 $arch_deb root"
    for job in $root_jobs; do
        [ "${job%:*}" != "$arch_deb" ] || wait "${job#*:}" ||
            { cat "$work/foreign-$arch_deb.out" >&2; fail "no Debian 12 $arch_deb root"; }
    done
    root=$work/bookworm-$arch_deb
    rm -rf "$root"
    mkdir -p "$root"
    tar -C "$root" -xf "$cache/bookworm-$arch_deb-minbase.tar"
    cp "$release/${name}_${top#"$name-"}_$arch_deb.deb" "$root/root/"
    arch_run "$(echo "$arch_cpus" | awk '{ print $1 }')" "$work/build-$arch/make-wtmp" \
        "$work/history.list" "$root/root/history.wtmp"
    answer=$(with_qemu "$arch_qemu" "$root/usr/bin/dpkg" sh -c '
        mount -t proc proc "$1/proc"
        exec chroot "$1" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 sh -c "
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/*.deb >/root/apt.log 2>&1 ||
                { cat /root/apt.log >&2; exit 1; }
            cp /root/history.wtmp /var/log/wtmp
            echo \"\$(dpkg --print-architecture), \$(last --version)\" >&2
            mean-reboot-interval"' sh "$root") || fail "Debian 12 $arch_deb: the package"
    [ "$answer" = "$expected" ] || fail "Debian 12 $arch_deb: the tool gave '$answer', the records '$expected'"
    echo "Debian 12 $arch_deb: installed by apt: $answer"
done

check_passed
