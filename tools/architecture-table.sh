# Reads tools/architectures, the table of the release's architectures, for
# tools/build-release and the release checks. Sourced with here set (the
# repository's top folder), or architecture_table set to the table's path.
# shellcheck shell=sh disable=SC2034
# (the callers read what architecture() sets)

architecture_table=${architecture_table:-$here/tools/architectures}

# The suffixes of every architecture, in the table's order.
architecture_names() {
    awk '!/^#/ && NF { printf "%s ", $1 }' "$architecture_table"
}

# Sets arch_suffix, arch_triplet, arch_flags, arch_qemu, arch_cpus (spaces
# between), arch_rpm, arch_deb and arch_file from SUFFIX's row ("-" where
# the row has none); fails, naming the ones it knows, for another name.
architecture() {
    row=$(awk -v name="$1" '!/^#/ && $1 == name' "$architecture_table")
    if [ -z "$row" ]; then
        echo "no such architecture: $1 (known: $(architecture_names))" >&2
        return 1
    fi
    # shellcheck disable=SC2086
    set -- $row
    arch_suffix=$1 arch_triplet=$2 arch_flags=$3 arch_qemu=$4 arch_rpm=$6 arch_deb=$7
    arch_cpus=$(echo "$5" | tr ',' ' ')
    shift 7
    arch_file=$*
}

# CMake's options for a build of the current architecture: none for the
# build machine's own, else its cross compiler and flags.
arch_cmake_options() {
    [ "$arch_triplet" != "$(gcc -dumpmachine)" ] || return 0
    printf '%s' "-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$arch_suffix -DCMAKE_CXX_COMPILER=$arch_triplet-g++"
    [ "$arch_flags" = - ] || printf ' %s' "-DCMAKE_CXX_FLAGS=$arch_flags"
}

# Runs a program of the current architecture, under qemu-user on CPU (or
# qemu's default with -) where the build machine cannot run it itself.
arch_run() {
    cpu=$1
    shift
    if [ "$arch_qemu" = - ]; then
        "$@"
    elif [ "$cpu" = - ]; then
        "qemu-$arch_qemu-static" "$@"
    else
        "qemu-$arch_qemu-static" -cpu "$cpu" "$@"
    fi
}
