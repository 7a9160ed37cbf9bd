# Sourced by every sample script. The sets work only in a folder that vivozi made for them: it
# carries the mark, belongs to whoever runs the set, and nobody else may write to it. Nothing in
# it is followed through a link, files are written afresh and renamed into place, and only files
# the sets name themselves, of a size they could have written, are read, moved or removed.

demo=${VIVOZI_DEMO_DIR:?"run the sample sets with: vivozi run --demo NAME"}
script=${0##*/}
# Far above anything the sets write: a bigger file is not theirs (or is sparse) and is left be.
max_kib=65536
umask 077

refuse() {
    echo "$script: $*" >&2
    exit 1
}

[ -d "$demo" ] && [ ! -L "$demo" ] || refuse "$demo is not a folder"
[ -O "$demo" ] || refuse "$demo belongs to another user"
[ -z "$(find -P "$demo" -maxdepth 0 -perm /022)" ] || refuse "others may write to $demo"
[ -f "$demo/.vivozi-demo" ] && [ ! -L "$demo/.vivozi-demo" ] ||
    refuse "$demo was not made by vivozi (it holds no .vivozi-demo mark)"

# Folders of the demo, made when missing; a link or a file in their place stops the set.
demo_folders() {
    for folder; do
        [ ! -L "$demo/$folder" ] || refuse "$demo/$folder is a link"
        [ -d "$demo/$folder" ] || mkdir "$demo/$folder" || exit 1
    done
}

# True for a regular file of ours, no link, and small enough to be one the sets wrote.
is_ours() {
    [ -f "$1" ] && [ ! -L "$1" ] && [ -O "$1" ] &&
        [ -n "$(find -P "$1" -maxdepth 0 -size -"$max_kib"k)" ]
}

# Stops the set when something the sets did not write stands at a name they use.
ours_or_absent() {
    for file; do
        [ ! -e "$file" ] && [ ! -L "$file" ] || is_ours "$file" ||
            refuse "$file is not a file of the sample sets; move it away"
    done
}

# Appends standard input to a file of the sets.
append_to() {
    ours_or_absent "$1"
    cat >>"$1"
}

# Replaces FILE with what COMMAND... prints: written to a new file, then renamed over FILE (a
# rename replaces a link, it never writes through one).
replace_with() {
    target=$1
    shift
    [ ! -d "$target" ] || refuse "$target is a folder"
    if ! (set -C && "$@" >"$target.new.$$"); then
        rm -f "$target.new.$$"
        refuse "cannot write $target"
    fi
    mv -fT "$target.new.$$" "$target"
}

note() {
    echo "$(date '+%F %T') $*" | append_to "$demo/maintenance.log"
}
