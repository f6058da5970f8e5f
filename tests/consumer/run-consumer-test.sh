#!/usr/bin/env bash
# Builds the consumer host one of the two ways hosts consume the plug-in and
# runs it against the printer simulator:
#
#   find-package      installs the built plug-in into a temporary prefix,
#                     checks what was installed, and builds
#                     find-package-test/ against that prefix;
#   add-subdirectory  builds add-subdirectory-test/, which compiles the
#                     plug-in from source alongside the host.
#
#   run-consumer-test.sh --mode=MODE --source-dir=DIR --work-dir=DIR \
#       --settings=FILE --generator=NAME --cmake=PATH --simulator=PATH \
#       [--plugin-build-dir=DIR --plugin-library=PATH --nm=PATH --config=NAME] \
#       [--jobs=N]
#
# --settings is an initial-cache script with the compiler, flags and build
# type of the calling build, so the host is built the way the plug-in was.
# Registered by tests/consumer/CMakeLists.txt. Every step is bounded in time;
# the simulator and the temporary files go away however the script ends. The
# add-subdirectory build tree stays in the work directory, so that a second
# run only rebuilds what changed.
set -euo pipefail

mode= source_dir= work_dir= settings= generator= cmake=cmake simulator=
plugin_build_dir= plugin_library= nm=nm config= jobs=2
for arg in "$@"; do
    case "$arg" in
        --mode=*) mode=${arg#*=} ;;
        --source-dir=*) source_dir=${arg#*=} ;;
        --work-dir=*) work_dir=${arg#*=} ;;
        --settings=*) settings=${arg#*=} ;;
        --generator=*) generator=${arg#*=} ;;
        --cmake=*) cmake=${arg#*=} ;;
        --simulator=*) simulator=${arg#*=} ;;
        --plugin-build-dir=*) plugin_build_dir=${arg#*=} ;;
        --plugin-library=*) plugin_library=${arg#*=} ;;
        --nm=*) nm=${arg#*=} ;;
        --config=*) config=${arg#*=} ;;
        --jobs=*) jobs=${arg#*=} ;;
        *) echo "run-consumer-test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done
nm=${nm:-nm}
cmake=${cmake:-cmake}
case "$mode" in
    find-package) [[ -n "$plugin_build_dir" && -n "$plugin_library" ]] ||
        { echo "run-consumer-test.sh: find-package needs --plugin-build-dir and --plugin-library" >&2; exit 2; } ;;
    add-subdirectory) ;;
    *) echo "run-consumer-test.sh: --mode must be find-package or add-subdirectory" >&2; exit 2 ;;
esac
for required in source_dir work_dir settings generator simulator; do
    [[ -n "${!required}" ]] || { echo "run-consumer-test.sh: --${required//_/-} is missing" >&2; exit 2; }
done

# Bounds, in seconds. The add-subdirectory build compiles the whole plug-in.
install_seconds=120
configure_seconds=180
build_seconds=300
[[ "$mode" == add-subdirectory ]] && build_seconds=1500
simulator_start_seconds=15
host_seconds=60            # the host gives up by itself after 20 s
simulator_seconds=$((simulator_start_seconds + host_seconds + 30))

log() { echo "consumer-test [${SECONDS} s] $*"; }
fail() {
    echo "consumer-test [${SECONDS} s] FAILED: $*" >&2
    exit 1
}

mkdir -p "$work_dir"
temp=$(mktemp -d "$work_dir/run.XXXXXX")
simulator_pid=

cleanup() {
    if [[ -n "$simulator_pid" ]]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "$temp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# bounded SECONDS LOGFILE WHAT COMMAND...: runs COMMAND with its output in
# LOGFILE; on failure or time-out shows the end of that output and fails.
bounded() {
    local seconds=$1 logfile=$2 what=$3
    shift 3
    local status=0
    timeout --kill-after=10 "$seconds" "$@" >"$logfile" 2>&1 || status=$?
    if ((status != 0)); then
        tail -n 60 "$logfile" >&2
        ((status == 124)) && fail "$what took longer than $seconds s"
        fail "$what failed (exit status $status)"
    fi
}

config_args=()
[[ -n "$config" ]] && config_args=(--config "$config")

# Dynamic symbols a library defines, one name a line, without version suffix.
defined_symbols() {
    "$nm" -D --defined-only "$1" | awk 'NF == 3 { sub(/@.*/, "", $3); print $3 }' | sort -u
}

# What `cmake --install` put under the prefix: the headers, the library, the
# package, and the launcher (a deliverable of its own), nothing else.
check_installed_files() {
    local prefix=$1 unexpected=() file relative
    while IFS= read -r -d '' file; do
        relative=${file#"$prefix"/}
        case "$relative" in
            include/zorim_network/*.h | */libzorim_network.so | */cmake/zorim_network/*.cmake | bin/ZorimSlicer) ;;
            *) unexpected+=("$relative") ;;
        esac
    done < <(find "$prefix" \( -type f -o -type l \) -print0)
    ((${#unexpected[@]} == 0)) || fail "installed files that must not be installed: ${unexpected[*]}"

    local header
    for header in "$source_dir"/include/zorim_network/*.h; do
        [[ -f "$prefix/include/zorim_network/${header##*/}" ]] || fail "header ${header##*/} was not installed"
    done
    for file in zorim_networkConfig.cmake zorim_networkConfigVersion.cmake zorim_networkTargets.cmake; do
        [[ -n "$(find "$prefix" -path "*/cmake/zorim_network/$file" -print -quit)" ]] ||
            fail "package file $file was not installed"
    done
}

# The installed library exports the same 107 zorim_ names as the built one,
# which the export table test checks name by name.
check_installed_exports() {
    local installed=$1 installed_names built_names count
    installed_names=$(defined_symbols "$installed") || fail "nm could not read $installed"
    built_names=$(defined_symbols "$plugin_library") || fail "nm could not read $plugin_library"
    count=$(grep -c . <<<"$installed_names" || true)
    ((count == 107)) || fail "the installed library exports $count symbols, not 107"
    if grep -v '^zorim_' <<<"$installed_names" >"$temp/foreign-symbols"; then
        fail "the installed library exports names other than zorim_*: $(head -n 5 "$temp/foreign-symbols" | tr '\n' ' ')"
    fi
    [[ "$installed_names" == "$built_names" ]] ||
        fail "the installed library's exports differ from the built library's: $(diff <(echo "$built_names") <(echo "$installed_names") | head -n 10 | tr '\n' ' ')"
}

configure_and_build() {
    local project=$1 host_build=$2
    shift 2
    log "configuring $project"
    bounded "$configure_seconds" "$temp/configure.log" "configuring $project" \
        "$cmake" -S "$source_dir/tests/consumer/$project" -B "$host_build" -G "$generator" -C "$settings" "$@"
    log "building $project"
    bounded "$build_seconds" "$temp/build.log" "building $project" \
        "$cmake" --build "$host_build" "${config_args[@]}" -j "$jobs"
}

# The host program inside a build tree (single- or multi-config generators).
find_host() {
    local found
    found=$(find "$1" -type f -name zorim_consumer_host -perm -u+x -print -quit)
    [[ -n "$found" ]] || fail "no zorim_consumer_host was built in $1"
    echo "$found"
}

start_simulator() {
    log "starting the printer simulator"
    # Under `timeout` so that it ends by itself even if this script is killed.
    timeout "$simulator_seconds" "$simulator" --port 0 --quiet >"$temp/simulator.log" 2>&1 &
    simulator_pid=$!
    local deadline=$((SECONDS + simulator_start_seconds))
    while ((SECONDS < deadline)); do
        address=$(sed -n 's/.*(plug-in address \([^)]*\)).*/\1/p' "$temp/simulator.log" | head -n 1)
        [[ -n "$address" ]] && { log "simulator at $address"; return; }
        kill -0 "$simulator_pid" 2>/dev/null || { cat "$temp/simulator.log" >&2; fail "the simulator ended at start-up"; }
        sleep 0.1
    done
    cat "$temp/simulator.log" >&2
    fail "the simulator printed no address within $simulator_start_seconds s"
}

run_host() {
    local host=$1 status=0
    mkdir -p "$temp/host-log"
    log "running $host"
    timeout --kill-after=10 "$host_seconds" "$host" "$address" "$temp/host-log" || status=$?
    if ((status != 0)); then
        echo "--- simulator output" >&2
        tail -n 40 "$temp/simulator.log" >&2
        local plugin_log
        for plugin_log in "$temp"/host-log/log/debug_network_*; do
            [[ -f "$plugin_log" ]] || continue
            echo "--- end of the plug-in's log $plugin_log" >&2
            tail -n 60 "$plugin_log" >&2
        done
        fail "the host ended with exit status $status"
    fi
}

address=
case "$mode" in
    find-package)
        prefix="$temp/prefix"
        log "installing $plugin_build_dir into $prefix"
        bounded "$install_seconds" "$temp/install.log" "cmake --install" \
            "$cmake" --install "$plugin_build_dir" --prefix "$prefix" "${config_args[@]}"
        check_installed_files "$prefix"
        installed_library=$(find "$prefix" -name libzorim_network.so -print -quit)
        [[ -n "$installed_library" ]] || fail "libzorim_network.so was not installed"
        check_installed_exports "$installed_library"
        log "installed: headers, $installed_library (107 zorim_ exports), CMake package"

        host_build="$temp/host-build"
        configure_and_build find-package-test "$host_build" -DCMAKE_PREFIX_PATH="$prefix"
        found_dir=$(sed -n 's/^zorim_network_DIR:[A-Z]*=//p' "$host_build/CMakeCache.txt")
        [[ "$found_dir" == "$prefix"/* ]] || fail "find_package found zorim_network in $found_dir, not under $prefix"
        host=$(find_host "$host_build")
        ;;
    add-subdirectory)
        host_build="$work_dir/build"
        configure_and_build add-subdirectory-test "$host_build" -DZORIM_SOURCE_DIR="$source_dir"
        host=$(find_host "$host_build")
        prefix="$host_build"
        ;;
esac

# The host must run against the library it was built against, not one that
# happens to be installed elsewhere.
linked=$(ldd "$host" | awk '/libzorim_network/ { print $3 }')
[[ "$linked" == "$prefix"/* ]] || fail "the host loads libzorim_network from \"$linked\", not from under $prefix"

start_simulator
run_host "$host"
log "passed"
