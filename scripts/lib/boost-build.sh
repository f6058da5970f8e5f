# Shared by the scripts that build Boost 1.81 for Windows (build-msvc-boost.sh,
# build-mingw-boost.sh): the cache and its stamp, one build at a time, Debian's
# boost1.81 source package fetched once, and a build that shows its progress.
# Source it after setting `log_name`.
#
# The script's standard output carries the install prefix and nothing else,
# for callers to capture (boost_finish); from here on everything else, the
# tools' own output included, goes to standard error.
exec 3>&1 1>&2

boost_cache=${XDG_CACHE_HOME:-$HOME/.cache}/zorim

log() { echo "$log_name: $*" >&2; }

# boost_finish PREFIX: hands the install prefix to the caller; the script ends.
boost_finish() {
    echo "$1" >&3
    exit 0
}

# boost_stamped PREFIX TEXT: whether PREFIX holds a complete install made
# with the settings TEXT. boost_stamp PREFIX TEXT marks it so.
boost_stamped() {
    [[ -f "$1/.zorim-complete" && "$(cat "$1/.zorim-complete")" == "$2" ]]
}
boost_stamp() {
    printf '%s' "$2" >"$1/.zorim-complete"
}

# boost_lock NAME: one build per cache at a time, also across worktrees; held
# until the script ends. Cheap when nobody else holds it.
boost_lock() {
    mkdir -p "$boost_cache"
    exec 9>"$boost_cache/$1.lock"
    if ! flock -n 9; then
        log "waiting for another build of $1 to finish"
        flock 9
    fi
}

boost_as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# Debian's source archive, on the mirror this machine already uses.
boost_add_source_archive() {
    local list=/etc/apt/sources.list.d/zorim-deb-src.sources
    if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
        return
    fi
    local uri
    uri=$(grep -hs -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | head -n1)
    if [[ -z "$uri" ]]; then
        uri=$(grep -hs -m1 -E '^deb[[:space:]]' /etc/apt/sources.list | awk '{print $2}' | head -n1)
    fi
    [[ -n "$uri" ]] || { log "no Debian mirror found in the apt sources"; exit 1; }
    log "adding deb-src for bookworm main from $uri"
    boost_as_root tee "$list" >/dev/null <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    boost_as_root apt-get update -q
}

# boost_source WORK: sets source_dir to an unpacked boost1.81 source package.
# One that any of the cache's Boost builds unpacked before serves, read only
# (out-of-tree builds write nothing into it); otherwise the package is fetched
# and unpacked into WORK, which is emptied first.
boost_source() {
    local work=$1 found
    for found in "$work"/boost1.81-* "$boost_cache"/*-boost-1.81-build/boost1.81-*; do
        if [[ -f "$found/.zorim-unpacked" ]]; then
            source_dir=$found
            return
        fi
    done
    rm -rf "$work"
    mkdir -p "$work"
    boost_add_source_archive
    log "fetching Debian's boost1.81 source package"
    (cd "$work" && apt-get source -q boost1.81 >"$work/apt-source.log" 2>&1) ||
        { cat "$work/apt-source.log" >&2; exit 1; }
    source_dir=$(find "$work" -maxdepth 1 -type d -name 'boost1.81-*' | head -n1)
    [[ -n "$source_dir" ]] || { log "the source package did not unpack"; exit 1; }
    touch "$source_dir/.zorim-unpacked"
}

# boost_run_with_progress LOG PROGRESS COMMAND...: runs COMMAND with its output
# in LOG and, every 30 s while it runs, logs what the function PROGRESS prints
# about LOG ("412 of 530 steps", say). On failure shows the end of LOG and
# ends the script.
boost_run_with_progress() {
    local output=$1 progress=$2 started=$SECONDS pid status=0 next
    shift 2
    "$@" >"$output" 2>&1 &
    pid=$!
    next=$((SECONDS + 30))
    while kill -0 "$pid" 2>/dev/null; do
        if ((SECONDS >= next)); then
            log "$((SECONDS - started)) s: $("$progress" "$output")"
            next=$((SECONDS + 30))
        fi
        sleep 1
    done
    wait "$pid" || status=$?
    if ((status != 0)); then
        tail -n 60 "$output" >&2
        log "failed after $((SECONDS - started)) s; full log in $output"
        exit 1
    fi
    log "finished in $((SECONDS - started)) s"
}

# Progress of a Ninja build from its log: its last "[done/total]" line.
boost_ninja_progress() {
    local line
    line=$(grep -o '^\[[0-9]*/[0-9]*\]' "$1" | tail -n1 | tr -d '[]' || true)
    if [[ -z "$line" ]]; then
        echo "starting"
    else
        echo "${line%/*} of ${line#*/} build steps done"
    fi
}
