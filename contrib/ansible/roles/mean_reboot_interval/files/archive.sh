#!/bin/sh
# The static archive under a prefix, with the list of what it put there, so
# that it can be taken away again, and nothing else:
#
#   archive.sh install ARCHIVE PREFIX LIST   unpack bin/, share/ and lib/ of
#                                            ARCHIVE under PREFIX, unless
#                                            LIST says this archive already
#                                            is; prints "unpacked" if it did
#   archive.sh remove - PREFIX LIST          remove the files LIST names and
#                                            the folders the install made;
#                                            prints "removed" if it did
#
# LIST holds the archive's SHA-256 on its first line, then one line a path
# under PREFIX: "f PATH" for a file, "d PATH" for a folder that was not
# there before the install. Run as root, under any POSIX shell.
set -eu

[ $# -eq 4 ] || { echo "usage: archive.sh install|remove ARCHIVE PREFIX LIST" >&2; exit 2; }
action=$1 archive=$2 prefix=$3 list=$4

remove() {
    [ -f "$list" ] || return 0
    # Files first, then the folders, deepest first.
    sed -n 's/^f //p' "$list" | while IFS= read -r path; do
        rm -f "$prefix/$path"
    done
    sed -n 's/^d //p' "$list" | sort -r | while IFS= read -r path; do
        rmdir "$prefix/$path" 2>/dev/null || true
    done
    rm -f "$list"
    echo removed
}

case $action in
    install)
        sum=$(sha256sum "$archive" | cut -d' ' -f1)
        if [ -f "$list" ] && [ "$(head -n 1 "$list")" = "$sum" ]; then
            exit 0
        fi
        remove >/dev/null
        top=$(tar -tzf "$archive" | head -n 1 | cut -d/ -f1)
        {
            echo "$sum"
            tar -tzf "$archive" "$top/bin" "$top/share" "$top/lib" | cut -d/ -f2- | grep . |
                while IFS= read -r path; do
                    case $path in
                        */) [ -d "$prefix/$path" ] || echo "d ${path%/}" ;;
                        *) echo "f $path" ;;
                    esac
                done
        } >"$list.new"
        mkdir -p "$prefix"
        tar -C "$prefix" --strip-components=1 -xzf "$archive" "$top/bin" "$top/share" "$top/lib"
        mv "$list.new" "$list"
        echo unpacked
        ;;
    remove) remove ;;
    *) echo "archive.sh: no such action: $action" >&2; exit 2 ;;
esac
