#!/usr/bin/env bash
# The remote benchmark: Debian's sqlite3-doc pages served by nginx over TLS with HTTP/2 and gzip,
# behind kelvane_link_relay, which makes 127.0.0.1 look like a remote site: 25 ms each way (a
# 50 ms round trip) and 5 MB/s towards the client, shared by all connections. Mirrored by wget2
# (HTTP/2, compression), wget, kelvane-cli --jobs 1 and kelvane-cli --jobs 8, 16, 32 and 64,
# each against the floor: the time the link itself needs for the site's depth and compressed
# bytes.
# Usage: bench/remote.sh [BUILD-DIR]
# Also kelvane-cli -p with no --jobs ("p"): the web rules at their default concurrency.
# Environment: RTT_MS (50), RATE bytes/s (5000000), REPEAT (3), JOBS ("8 16 32 64"), QUICK=1
# skips wget and --jobs 1 (minutes each), BENCH_SETTLE_SECONDS (31, 0 with QUICK=1), OTHERS=0
# runs kelvane-cli alone (no wget, no wget2).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
rtt_ms=${RTT_MS:-50}
rate=${RATE:-5000000}
repeat=${REPEAT:-3}
quick=${QUICK:-0}
others=${OTHERS:-1}
docs=/usr/share/doc/sqlite3
for need in /usr/sbin/nginx /usr/bin/wget /usr/bin/wget2 /usr/bin/time /usr/bin/bc /usr/bin/curl \
  /usr/bin/openssl /usr/bin/python3 $docs/index.html; do
  if [ ! -e "$need" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        nginx wget wget2 time bc curl openssl python3 sqlite3-doc >/dev/null
    else
      echo "remote bench needs: sudo apt-get install nginx wget wget2 time bc curl openssl" \
        "python3 sqlite3-doc" >&2
      exit 1
    fi
  fi
done

work=$(mktemp -d /tmp/kelvane-remote-XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
mkdir -p "$work/config" "$work/home"

free_port() {
  /usr/bin/python3 -c \
    'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

relay=$build/kelvane_link_relay
if [ ! -x "$relay" ]; then  # a build from before the relay: compile it on the side
  relay=$work/link_relay
  c++ -std=c++20 -O2 -o "$relay" "$source_dir/bench/link_relay.cpp"
fi

# A certificate authority of our own, and the server's certificate for 127.0.0.1 signed by it.
tls=$work/tls
mkdir -p "$tls"
(
  cd "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -keyout ca.key -out ca.pem -subj '/CN=Kelvane Bench CA' 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout server.key -out server.csr -subj '/CN=127.0.0.1' 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' > ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile ext -out server.pem 2>/dev/null
)
ca=$tls/ca.pem

server_port=$(free_port)
conf=$work/nginx
mkdir -p "$conf"
cat > "$conf/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $conf/error.log; pid $conf/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off; include /etc/nginx/mime.types; default_type application/octet-stream;
  client_body_temp_path $conf; proxy_temp_path $conf; fastcgi_temp_path $conf;
  uwsgi_temp_path $conf; scgi_temp_path $conf;
  gzip on;
  gzip_types text/css application/javascript text/javascript text/plain image/svg+xml
    application/json application/xml;
  server {
    listen 127.0.0.1:$server_port ssl http2;
    ssl_certificate $tls/server.pem; ssl_certificate_key $tls/server.key;
    root $docs;
  }
}
CONF
/usr/sbin/nginx -p "$conf" -c "$conf/nginx.conf" -e "$conf/error.log" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  curl -s -o /dev/null --cacert "$ca" "https://127.0.0.1:$server_port/" && break
  sleep 0.05
done

delay_ms=$(echo "scale=3; $rtt_ms / 2" | bc -l)
"$relay" 0 "$server_port" "$delay_ms" "$rate" > "$work/relay-port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/relay-port" ] && break; sleep 0.05; done
port=$(head -1 "$work/relay-port")
url="https://127.0.0.1:$port/index.html"
curl -s -o /dev/null --cacert "$ca" "$url"

# The floor: one round trip for TCP and one for TLS, then one request round trip per level of
# links from the start page (depth + 1 of them), and every byte once through the link as nginx
# sends it (gzip level 1, its default, for the types it compresses).
read -r depth reachable bytes_raw bytes_compressed < <(/usr/bin/python3 - "$docs" index.html <<'PY'
import gzip, os, re, sys, urllib.parse
from collections import deque
root = os.path.realpath(sys.argv[1])
start = sys.argv[2]
compressed_types = ('.html', '.htm', '.css', '.js', '.txt', '.svg')
link = re.compile(r'''\b(?:href|src)\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s"'>]+))''', re.I)
def resolve(page, ref):
    ref = ref.strip().split('#')[0].split('?')[0]
    if not ref or re.match(r'^[a-z][a-z0-9+.-]*:|^//', ref, re.I):
        return None
    ref = urllib.parse.unquote(ref)
    base = '' if ref.startswith('/') else os.path.dirname(page)
    path = os.path.normpath(os.path.join(base, ref.lstrip('/')))
    if path.startswith('..'):
        return None
    if os.path.isdir(os.path.join(root, path)):
        path = os.path.join(path, 'index.html')
    return path if os.path.isfile(os.path.join(root, path)) else None
depth = {start: 0}
queue = deque([start])
while queue:
    page = queue.popleft()
    if not page.endswith(('.html', '.htm')):
        continue
    with open(os.path.join(root, page), encoding='utf-8', errors='replace') as f:
        text = f.read()
    for m in link.finditer(text):
        target = resolve(page, m.group(1) or m.group(2) or m.group(3) or '')
        if target and target not in depth:
            depth[target] = depth[page] + 1
            queue.append(target)
raw = packed = 0
for path in depth:
    with open(os.path.join(root, path), 'rb') as f:
        data = f.read()
    raw += len(data)
    packed += len(gzip.compress(data, 1, mtime=0)) if path.endswith(compressed_types) else len(data)
print(max(depth.values()), len(depth), raw, packed)
PY
)
rtt_s=$(echo "scale=6; $rtt_ms / 1000" | bc -l)
floor=$(printf '%.3f' "$(echo "($depth + 3) * $rtt_s + $bytes_compressed / $rate" | bc -l)")

# The highest --jobs this kelvane-cli takes, from its help.
max_jobs=$("$build/kelvane-cli" --help | sed -n 's/.*--jobs N.* 1 to \([0-9]*\).*/\1/p' | head -1)

# One run of a contender into a fresh directory: "seconds peak-KB files cpu-seconds". Nothing is
# deleted until the end (see run.sh: ext4 is slow to create files just after many were deleted).
measure() {
  local name=$1 out="$work/out-$1-$2"
  mkdir -p "$out"
  local command
  case $name in
    wget2) command=(env HOME="$work/home" wget2 -r -np -l inf -q --ca-certificate="$ca" \
      -P "$out" "$url") ;;
    wget) command=(env HOME="$work/home" wget -r -np -l inf -q --ca-certificate="$ca" \
      -P "$out" "$url") ;;
    jobs[0-9]*) command=("$build/kelvane-cli" --quiet --ca-certificate "$ca" \
      --jobs "${name#jobs}" --save-to "$out" "$url") ;;
    p) command=("$build/kelvane-cli" --quiet --ca-certificate "$ca" -p --save-to "$out" "$url") ;;
  esac
  local status=0
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${command[@]}" </dev/null >/dev/null 2>&1 ||
    status=$?
  local files wall user system memory
  files=$(find "$out" -type f ! -name Kelvane.log ! -name '*.wget-hsts' | wc -l)
  read -r wall user system memory < <(tail -1 "$work/time")
  echo "$wall $memory $files $(echo "$user + $system" | bc -l) $status"
}

# Appends one run's line to the contender's results. wget2 1.99 now and then dies of a
# segmentation fault half-way (against nginx directly too): such a run is made again.
record() {
  local name=$1 run=$2 attempt line
  for attempt in 1 2 3; do
    line=$(measure "$name" "$run-$attempt")
    [ "${line##* }" -lt 128 ] && break
    echo "$name run $run: killed by signal $((${line##* } - 128)), running it again" >&2
  done
  echo "$line" >> "$work/results-$name"
}

# Runs a slow contender, telling how far it got every 15 s.
measure_slow() {
  local name=$1 run=$2
  echo "$name: a single run, which takes minutes..." >&2
  (
    while sleep 15; do
      echo "  $name: $(find "$work/out-$name-$run"-* -type f 2>/dev/null | wc -l) files so far" >&2
    done
  ) &
  local ticker=$!
  record "$@"
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
}

median() {
  sort -n | awk '{v[NR]=$1}
    END { printf "%.3f\n", (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2 }'
}
stats() {  # median min max of wall, max peak memory, files, median cpu
  sort -n "$1" | awk '{w[NR]=$1; if ($2>m) m=$2; f=$3} END {
    med = (NR % 2) ? w[(NR+1)/2] : (w[NR/2] + w[NR/2+1]) / 2;
    printf "%.3f %.3f %.3f %d %d ", med, w[1], w[NR], m, f }'
  awk '{print $4}' "$1" | median
}
ratio() { printf '%.2f' "$(echo "scale=6; $1 / $2" | bc -l)"; }

contenders=(p)
[ "$others" = 1 ] && contenders=(wget2 p)
slow=()
[ "$quick" = 1 ] || slow=(jobs1)
[ "$quick" = 1 ] || [ "$others" != 1 ] || slow=(wget jobs1)
for n in ${JOBS:-8 16 32 64}; do
  if [ -n "$max_jobs" ] && [ "$n" -gt "$max_jobs" ]; then
    echo "jobs$n: skipped, this kelvane-cli takes --jobs up to $max_jobs" >&2
    continue
  fi
  contenders+=("jobs$n")
done

settle=${BENCH_SETTLE_SECONDS:-$([ "$quick" = 1 ] && echo 0 || echo 31)}
sleep "$settle"
measure "${contenders[0]}" warm-up >/dev/null
for name in "${slow[@]}"; do
  measure_slow "$name" 1
done
for run in $(seq "$repeat"); do
  for name in "${contenders[@]}"; do
    record "$name" "$run"
    echo "$name run $run: $(cut -d' ' -f1 < <(tail -1 "$work/results-$name")) s" >&2
  done
done

echo "remote ($url: sqlite3-doc over TLS, ${rtt_ms} ms round trip, $rate bytes/s)"
echo "depth $depth, $reachable files, $bytes_raw bytes raw, $bytes_compressed compressed," \
  "floor $floor s"
printf '%-10s %10s %10s %10s %8s %12s %10s\n' contender median_s min_s max_s files peak_mem_KB cpu_s
best="" best_median=""
for name in "${slow[@]}" "${contenders[@]}"; do
  read -r med min max mem files cpu < <(stats "$work/results-$name")
  printf '%-10s %10s %10s %10s %8s %12s %10s\n' "$name" "$med" "$min" "$max" "$files" "$mem" "$cpu"
  eval "median_$name=$med"
  if [[ $name == jobs* && $name != jobs1 ]] &&
    { [ -z "$best" ] || (($(echo "$med < $best_median" | bc -l))); }; then
    best=$name best_median=$med
  fi
done
if [ "$others" = 1 ]; then
  echo "remote: $best/wget2=$(ratio "$best_median" "$median_wget2")" \
    "$best/floor=$(ratio "$best_median" "$floor")"
  echo "remote: p/wget2=$(ratio "$median_p" "$median_wget2") p/floor=$(ratio "$median_p" "$floor")"
else
  echo "remote: $best/floor=$(ratio "$best_median" "$floor") p/floor=$(ratio "$median_p" "$floor")"
fi
