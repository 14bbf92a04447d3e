#!/bin/bash
# An Aedes broker (npm) on 127.0.0.1 for the broker checks: aedes.sh PORT DIR
# installs aedes into DIR/npm when it is not there yet (several at once wait
# for one install), starts the broker in the background and returns once its
# port accepts; "aedes.sh stop DIR" ends it. Needs node and npm (Debian
# packages nodejs and npm) and the npm registry for the first install.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ "$1" = stop ]; then
  kill "$(cat "$2/aedes.pid")" 2>/dev/null || true
  exit 0
fi
port=$1 dir=$2
version=${AEDES_VERSION:-1.2.0}
command -v node >/dev/null || { echo "node is not installed (Debian package nodejs)" >&2; exit 3; }
mkdir -p "$dir"
npmdir=${AEDES_NPM_DIR:-$dir/npm}
mkdir -p "$npmdir"
(
  flock 9
  if [ ! -f "$npmdir/node_modules/aedes/package.json" ]; then
    command -v npm >/dev/null || { echo "npm is not installed (Debian package npm)" >&2; exit 3; }
    npm install --prefix "$npmdir" --no-audit --no-fund --no-save "aedes@$version" > "$npmdir/install.log" 2>&1 ||
      { echo "npm install aedes@$version failed: $(tail -n 3 "$npmdir/install.log")" >&2; exit 3; }
  fi
) 9> "$npmdir/.lock"
cd "$npmdir"
node "$here/aedes.mjs" "$port" < /dev/null > "$dir/aedes.out" 2>&1 &
echo $! > "$dir/aedes.pid"
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && exit 0
  kill -0 "$(cat "$dir/aedes.pid")" 2>/dev/null || break
  sleep 0.2
done
echo "aedes did not start: $(tail -n 5 "$dir/aedes.out")" >&2
exit 1
