#!/usr/bin/env bash
# Times a whole update, "update --nouser" against nginx and the update server on loopback, with
# a plain shell script doing the same work (md5sum of the installed files, curl --parallel for
# the changed ones, md5sum -c of what arrived, cp into place), in one run: several rounds from
# identical client folders after sync, medians. The program's time leaves out its two fixed
# waits (2 s before the automatic start, 1 s before the client start).
#
# Usage: bench/update/run.sh [options] [FILES:SIZE ...]
#   FILES:SIZE       a client of FILES files, SIZE in all (suffix K, M or G: KiB, MiB, GiB);
#                    default: the four cases 1000:500M 10000:1G 30000:100M 1:2G
#   --binary PATH    the update program to measure (default: the one built here)
#   --baseline PATH  another build of the program, timed in the same rounds (before and after
#                    figures from one run; both are compared with the same script times)
#   --build DIR      build folder (default: build-bench in the source tree)
#   --rounds N       rounds per case (default 3)
#   --gzip SHARE     share of the files shipped gzip-compressed, 0 to 1 (default 0)
#   --work DIR       where the clients are made (default: $TMPDIR or /tmp)
#   --wrap COMMAND   run the program under COMMAND, e.g. "heaptrack -o /tmp/update" (the
#                    times then include the tool's own cost)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)

# The update server's UDP ports are fixed: run in a private network namespace when we can,
# so that only this run's servers answer on 127.0.0.1.
if [ -z "${UPDATE_BENCH_NETNS:-}" ] && unshare -n true 2>/dev/null; then
    exec unshare -n env UPDATE_BENCH_NETNS=1 bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

binary=""
baseline=""
build="$src/build-bench"
rounds=3
gzip_share=0
wrap=""
work_base=${TMPDIR:-/tmp}
cases=()
while [ $# -gt 0 ]; do
    case "$1" in
    --binary) binary=$(realpath "$2"); shift 2 ;;
    --baseline) baseline=$(realpath "$2"); shift 2 ;;
    --build) build=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --gzip) gzip_share=$2; shift 2 ;;
    --work) work_base=$2; shift 2 ;;
    --wrap) wrap=$2; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) cases+=("$1"); shift ;;
    esac
done
[ ${#cases[@]} -gt 0 ] || cases=(1000:500M 10000:1G 30000:100M 1:2G)

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"${JOBS:-3}" --target update update-sign update-server >/dev/null
[ -n "$binary" ] || binary=$(realpath "$build/update")
sign="$build/tools/update-sign/update-sign"
server="$build/tools/update-server/update-server"

bytes_of() {
    local n=${1%[KMG]}
    case "$1" in
    *K) echo $((n << 10)) ;;
    *M) echo $((n << 20)) ;;
    *G) echo $((n << 30)) ;;
    *) echo "$n" ;;
    esac
}
now() { date +%s.%N; }
median() { sort -n | sed -n "$(((rounds + 1) / 2))p"; }

work=""
pids=()
stop_servers() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
}
cleanup() {
    stop_servers
    [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT INT TERM

start_servers() {
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    mkdir -p "$work/nginx"
    cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
$([ "$(id -u)" -eq 0 ] && echo "user root root;")
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server { listen 127.0.0.1:$port; root $work/mirror; }
}
CONF
    /usr/sbin/nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
    pids+=($!)
    "$server" --bind 127.0.0.1 --versions "2#Bench,2#Bench,2#Bench" --news "" --banner "" \
        >"$work/server.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        curl -sf -o /dev/null "http://127.0.0.1:$port/2/client_linux_x86.ini" && return 0
        sleep 0.1
    done
    echo "nginx did not come up" >&2
    return 1
}

# The installed client with the program, its mirror list and a client start script.
make_client() {
    cp "$binary" "$work/orig/update"
    printf '#!/bin/sh\nexit 0\n' >"$work/orig/qorclient_runscript.sh"
    chmod +x "$work/orig/qorclient_runscript.sh"
    printf '[mirrors]\n1\\mirror=local\nsize=1\n\n[local]\nurl=http://127.0.0.1:%s\nretries=2\n' \
        "$port" >"$work/orig/mirrors.ini"
    printf '[update]\nstreams=6\n' >"$work/orig/update.ini"
}

fresh_copy() {
    rm -rf "$work/run" "$work/tmp"
    cp -a "$work/orig" "$work/run"
    mkdir "$work/tmp"
    sync
}

# Both must end with every listed file as the release has it, and nothing left in temp.
check_tree() {
    (cd "$work/run" && md5sum --quiet -c "$work/expected") >/dev/null || {
        echo "$1: the client does not match the release" >&2
        return 1
    }
    (cd "$work/run/data" && find . -type f | sort) >"$work/tree.$1"
    # Qt puts its runtime folder there too, and without XDG_RUNTIME_DIR the program keeps
    # its single-instance folder there.
    left=$(ls -A "$work/tmp" | grep -v -e '^runtime-' -e '^QORClientUpdate-[0-9]*$' || true)
    if [ -n "$left" ]; then
        echo "$1: temporary files left behind:" $left >&2
        return 1
    fi
}

# run_program PROGRAM NAME: times PROGRAM in the fresh client; figures go to t.NAME, rss.NAME.
run_program() {
    local start end
    cp "$1" "$work/run/update"
    start=$(now)
    (cd "$work/run" && TMPDIR="$work/tmp" QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -f %M -o "$work/rss" $wrap ./update --nouser >"$work/update.log" 2>&1) || {
        echo "$2 failed:" >&2
        tail -n 20 "$work/update.log" >&2
        return 1
    }
    end=$(now)
    # The client start script runs detached once the program has ended.
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a - 3 }' >>"$work/t.$2"
    awk '{ printf "%.0f\n", $1 / 1024 }' "$work/rss" >>"$work/rss.$2"
}

# The same update done with standard tools.
run_script() {
    local app=$work/run tmp=$work/tmp/script start end
    start=$(now)
    mkdir -p "$tmp"
    (cd "$app" && awk '{ print $2 }' "$work/fetch" | xargs md5sum 2>/dev/null) >"$tmp/installed" || true
    awk 'NR == FNR { have[$2] = $1; next } have[$2] != $4' "$tmp/installed" "$work/fetch" >"$tmp/changed"
    awk -v base="http://127.0.0.1:$port/2/client/" -v dir="$tmp" \
        '{ printf "url = \"%s%s\"\noutput = \"%s/%s\"\n", base, $1, dir, $1 }' "$tmp/changed" >"$tmp/curl.cfg"
    curl -sS --no-progress-meter --fail --parallel --parallel-max 6 --create-dirs -K "$tmp/curl.cfg"
    (cd "$tmp" && awk '{ print $3 "  " $1 }' changed | md5sum --quiet -c -)
    (cd "$tmp" && awk '$5 == "plain" { print $1 }' changed | xargs -r cp --parents -t "$app")
    awk '$5 == "gz" { print $1, $2 }' "$tmp/changed" | while read -r from to; do
        gzip -dc "$tmp/$from" >"$app/$to"
    done
    rm -rf "$tmp"
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' >>"$work/t.script"
}

programs=(update)
[ -z "$baseline" ] || programs=(baseline update)
declare -A path=([update]="$binary" [baseline]="$baseline") rows=()
for c in "${cases[@]}"; do
    files=${c%%:*}
    size=$(bytes_of "${c#*:}")
    work=$(mktemp -d "$work_base/update-bench.XXXXXX")
    echo "== $files files, $size bytes, gzip share $gzip_share, $rounds rounds ($work)" >&2
    python3 "$here/makerelease.py" "$work" "$files" "$size" "$gzip_share"
    "$sign" sign "$src/tests/keys/test_private.key" "$work/mirror/2/client_linux_x86.ini" >/dev/null
    start_servers
    make_client
    : >"$work/t.script"
    for round in $(seq "$rounds"); do
        line="round $round:"
        for p in "${programs[@]}"; do
            fresh_copy
            run_program "${path[$p]}" "$p"
            check_tree "$p"
            line+=" $p $(tail -n1 "$work/t.$p") s (peak $(tail -n1 "$work/rss.$p") MB),"
        done
        fresh_copy
        run_script
        check_tree script
        for p in "${programs[@]}"; do
            cmp -s "$work/tree.$p" "$work/tree.script" || {
                echo "$p and the script end with different trees" >&2
                exit 1
            }
        done
        echo "$line script $(tail -n1 "$work/t.script") s" >&2
    done
    s=$(median <"$work/t.script")
    for p in "${programs[@]}"; do
        u=$(median <"$work/t.$p")
        m=$(median <"$work/rss.$p")
        rows[$p]+="$(awk -v f="$files" -v b="$size" -v u="$u" -v s="$s" -v m="$m" 'BEGIN {
            unit = b >= 2^30 ? sprintf("%g GiB", b / 2^30) : sprintf("%g MiB", b / 2^20)
            printf "| %d files, %s | %.1f s | %.1f s | %.2f | %d MB |", f, unit, u, s, u / s, m }')"$'\n'
    done
    stop_servers
    rm -rf "$work"
    work=""
done

for p in "${programs[@]}"; do
    echo
    echo "$p: ${path[$p]}"
    echo "| client | update | script | ratio | peak RSS |"
    echo "|---|---|---|---|---|"
    printf '%s' "${rows[$p]}"
done
