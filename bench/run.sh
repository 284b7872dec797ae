#!/usr/bin/env bash
# The crawl benchmark: a generated site served by nginx on 127.0.0.1, mirrored alternately by
# kelvane-cli, wget, the wire ceiling, kelvane-cli --verbose and the window (offscreen).
# Usage: bench/run.sh [BUILD-DIR] [PAGES] [RUNS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
pages=${2:-2000}
runs=${3:-5}
for tool in /usr/sbin/nginx /usr/bin/wget /usr/bin/time /usr/bin/bc /usr/bin/curl; do
  if [ ! -x "$tool" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx wget time bc curl >/dev/null
    else
      echo "bench needs nginx, wget, time, bc and curl: sudo apt-get install nginx wget time bc curl" >&2
      exit 1
    fi
  fi
done

work=$(mktemp -d /tmp/kelvane-bench-XXXXXX)
trap 'kill "$nginx_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
base="http://127.0.0.1:$port"
mkdir -p "$work/site" "$work/nginx" "$work/config"
"$build/kelvane_bench_site" "$pages" "$work/site" "$base" > "$work/urls"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $work/nginx/error.log; pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off; default_type application/octet-stream;
  types { text/html html htm; image/gif gif; }
  client_body_temp_path $work/nginx/b; proxy_temp_path $work/nginx/p;
  fastcgi_temp_path $work/nginx/f; uwsgi_temp_path $work/nginx/u; scgi_temp_path $work/nginx/s;
  server { listen 127.0.0.1:$port; root $work/site; }
}
CONF
/usr/sbin/nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "$base/" && break; sleep 0.05; done
export XDG_CONFIG_HOME="$work/config"

# One run of a contender into a fresh directory: "seconds peak-KB files cpu-seconds". Nothing is
# deleted until the end: ext4 skips the inodes freed in the last half minute when it allocates,
# and doing so after a deletion of thousands of files made one run up to three times slower than
# the next.
measure() {
  local name=$1 out="$work/out-$1-$2"
  mkdir -p "$out"
  local command
  case $name in
    kelvane) command=("$build/kelvane-cli" --quiet --save-to "$out" "$base/") ;;
    wget) command=(wget -r -np -l inf -q -P "$out" "$base/") ;;
    ceiling) command=("$build/kelvane_wire_ceiling" "$work/urls" "$out") ;;
    verbose) command=("$build/kelvane-cli" --quiet --verbose --save-to "$out" "$base/") ;;
    window) command=("$build/kelvane_window_crawl" "$base/" "$out") ;;
  esac
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%M %U %S" -o "$work/time" "${command[@]}" </dev/null >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  local files
  files=$(find "$out" -type f ! -name Kelvane.log | wc -l)
  read -r memory user system < <(tail -1 "$work/time")
  echo "$(echo "$end - $start" | bc -l) $memory $files $(echo "$user + $system" | bc -l)"
}

contenders=(kelvane wget ceiling verbose window)
# Files deleted just before (an earlier run's clean-up) would slow the first runs down; see above.
sleep "${BENCH_SETTLE_SECONDS:-31}"
for name in "${contenders[@]}"; do measure "$name" warm-up >/dev/null; done
for run in $(seq "$runs"); do
  for name in "${contenders[@]}"; do measure "$name" "$run" >> "$work/results-$name"; done
done

median() { sort -n | awk '{v[NR]=$1} END { printf "%.3f\n", (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2 }'; }
stats() {  # median min max of wall, max peak memory, files, median cpu
  sort -n "$work/results-$1" | awk '{w[NR]=$1; if ($2>m) m=$2; f=$3} END {
    med = (NR % 2) ? w[(NR+1)/2] : (w[NR/2] + w[NR/2+1]) / 2;
    printf "%.3f %.3f %.3f %d %d ", med, w[1], w[NR], m, f }'
  awk '{print $4}' "$work/results-$1" | median
}
printf '%-10s %10s %10s %10s %8s %12s %10s\n' contender median_s min_s max_s files peak_mem_KB cpu_s
for name in "${contenders[@]}"; do
  read -r med min max mem files cpu < <(stats "$name")
  printf '%-10s %10s %10s %10s %8s %12s %10s\n' "$name" "$med" "$min" "$max" "$files" "$mem" "$cpu"
  eval "median_$name=$med"
done
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }
echo "kelvane/wget=$(ratio "$median_kelvane" "$median_wget") kelvane/ceiling=$(ratio "$median_kelvane" "$median_ceiling") verbose/plain=$(ratio "$median_verbose" "$median_kelvane") window/cli=$(ratio "$median_window" "$median_kelvane")"
