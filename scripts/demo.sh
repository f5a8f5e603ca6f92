#!/usr/bin/env bash
# Sets up a Debian machine, builds the updater and shows it doing its job: a client folder with
# version 1 installed is brought up to version 2 by "update --nouser", from a signed release on
# an nginx mirror and an update server, both on 127.0.0.1 only. Prints what changed and
# whether the updated client was started.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)
if [ "${SKIP_SETUP:-0}" != "1" ]; then
    scripts/setup.sh
fi
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target update update-sign update-server
BUILD=$(cd "$BUILD_DIR" && pwd)
UPDATE_BIN=$(find "$BUILD" -maxdepth 1 -type f -name update -perm -u+x | head -n 1)
SIGN_BIN=$(find "$BUILD" -type f -name update-sign -perm -u+x | head -n 1)
SERVER_BIN=$(find "$BUILD" -type f -name update-server -perm -u+x | head -n 1)

DEMO=$(mktemp -d /tmp/update-demo.XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$DEMO"
}
trap cleanup EXIT

VERSION=2
CLIENT_TYPE=client_linux_x86
APP="$DEMO/app"
RELEASE="$DEMO/release"
MIRROR="$DEMO/mirror"
mkdir -p "$APP/data" "$RELEASE/lib" "$RELEASE/data" "$MIRROR/$VERSION/client"

# Version 1, as installed.
echo "client data, version 1" > "$APP/data/client.dat"
echo "no longer used" > "$APP/obsolete.txt"
echo "unchanged file" > "$APP/data/same.txt"
cp "$UPDATE_BIN" "$APP/update"

# Version 2, as released: a start script that leaves a mark, changed data, an unchanged file,
# and a library shipped gzip-compressed.
cat > "$RELEASE/qorclient_runscript.sh" <<'SCRIPT'
#!/bin/sh
echo "client version 2 started" > "$(dirname "$0")/client-started.txt"
SCRIPT
echo "client data, version 2" > "$RELEASE/data/client.dat"
cp "$APP/data/same.txt" "$RELEASE/data/same.txt"
head -c 300000 /dev/urandom > "$RELEASE/lib/libclient.so"

md5() { md5sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
INI="$MIRROR/$VERSION/$CLIENT_TYPE.ini"
{
    echo "[client]"
    for f in qorclient_runscript.sh data/client.dat data/same.txt; do
        mkdir -p "$(dirname "$MIRROR/$VERSION/client/$f")"
        cp "$RELEASE/$f" "$MIRROR/$VERSION/client/$f"
        echo "$f=$(md5 "$RELEASE/$f")::$(size "$RELEASE/$f")"
    done
    mkdir -p "$MIRROR/$VERSION/client/lib"
    gzip -9 -c "$RELEASE/lib/libclient.so" > "$MIRROR/$VERSION/client/lib/libclient.so.gz"
    gz="$MIRROR/$VERSION/client/lib/libclient.so.gz"
    echo "lib/libclient.so.gz=$(md5 "$gz")::$(size "$gz")::$(md5 "$RELEASE/lib/libclient.so")::$(size "$RELEASE/lib/libclient.so")::lib/libclient.so"
    echo "[delete]"
    echo "obsolete.txt=1"
} > "$INI"
"$SIGN_BIN" sign "$REPO/tests/keys/test_private.key" "$INI"

# One mirror: nginx on a free loopback port, in the foreground of its own process.
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$DEMO/nginx"
cat > "$DEMO/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
$( [ "$(id -u)" -eq 0 ] && echo "user root root;" )
pid $DEMO/nginx/nginx.pid;
error_log $DEMO/nginx/error.log;
events { worker_connections 64; }
http {
    access_log $DEMO/nginx/access.log;
    client_body_temp_path $DEMO/nginx/body;
    proxy_temp_path $DEMO/nginx/proxy;
    fastcgi_temp_path $DEMO/nginx/fastcgi;
    uwsgi_temp_path $DEMO/nginx/uwsgi;
    scgi_temp_path $DEMO/nginx/scgi;
    server { listen 127.0.0.1:$PORT; root $MIRROR; }
}
CONF
/usr/sbin/nginx -c "$DEMO/nginx/nginx.conf" -p "$DEMO/nginx" &
PIDS+=($!)

# The update server names version 2 on every channel.
"$SERVER_BIN" --bind 127.0.0.1 --versions "$VERSION#Demo release,$VERSION#Demo release,$VERSION#Demo release" \
    --news "Version $VERSION is out." --banner "" > "$DEMO/server.log" 2>&1 &
PIDS+=($!)

cat > "$APP/mirrors.ini" <<INI
[mirrors]
1\\mirror=local
size=1

[local]
url=http://127.0.0.1:$PORT
retries=2
INI
cat > "$APP/update.ini" <<INI
[update]
streams=4
INI
for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$PORT/$VERSION/$CLIENT_TYPE.ini" && break
    sleep 0.1
done

echo "== installed before the update"
(cd "$APP" && find . -type f ! -name update | sort)
echo "== running: update --nouser"
(cd "$APP" && QT_QPA_PLATFORM=offscreen timeout 120 ./update --nouser) && status=0 || status=$?
echo "exit status: $status"
for _ in $(seq 50); do [ -f "$APP/client-started.txt" ] && break; sleep 0.1; done

echo "== installed after the update"
(cd "$APP" && find . -type f ! -name update ! -name client-started.txt ! -name update.ini | sort)
ok=1
for f in qorclient_runscript.sh data/client.dat data/same.txt lib/libclient.so; do
    if cmp -s "$RELEASE/$f" "$APP/$f"; then echo "up to date: $f"; else echo "NOT up to date: $f"; ok=0; fi
done
if [ -e "$APP/obsolete.txt" ]; then echo "NOT deleted: obsolete.txt"; ok=0; else echo "deleted: obsolete.txt"; fi
if [ -f "$APP/client-started.txt" ]; then cat "$APP/client-started.txt"; else echo "the client was not started"; ok=0; fi
[ "$status" -eq 0 ] && [ "$ok" -eq 1 ] && echo "== demo succeeded" || { echo "== demo failed"; exit 1; }
