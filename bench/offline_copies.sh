#!/usr/bin/env bash
# Copies meant for reading offline, judged by a real browser: three sites served on 127.0.0.1 (the
# tests' modern site, Debian's sqlite3-doc pages and apache2-doc manual, the last two by nginx),
# each copied by kelvane-cli -p -k -E and by wget -r -np -l inf -p -k -E; then every stored page is
# opened from disk in headless Chromium with the network cut off (tests/browser/browser_check.py).
# Usage: bench/offline_copies.sh [BUILD-DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
sqlite=/usr/share/doc/sqlite3
apache=/usr/share/doc/apache2-doc/manual
for need in /usr/sbin/nginx /usr/bin/wget /usr/bin/chromium "$sqlite/index.html" \
  "$apache/en/index.html"; do
  if [ ! -e "$need" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx wget \
        chromium python3 sqlite3-doc apache2-doc >/dev/null
    else
      echo "needs: sudo apt-get install nginx wget chromium python3" \
        "sqlite3-doc apache2-doc" >&2
      exit 1
    fi
  fi
done

work=$(mktemp -d /tmp/kelvane-offline-XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Serves a directory with nginx; sets served to its address.
serve() {
  local name=$1 root=$2 port conf
  port=$(free_port)
  conf="$work/nginx-$name"
  mkdir -p "$conf"
  cat > "$conf/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $conf/error.log; pid $conf/nginx.pid;
events { worker_connections 256; }
http {
  access_log off; include /etc/nginx/mime.types; default_type application/octet-stream;
  client_body_temp_path $conf; proxy_temp_path $conf; fastcgi_temp_path $conf;
  uwsgi_temp_path $conf; scgi_temp_path $conf;
  server { listen 127.0.0.1:$port; root $root; }
}
CONF
  /usr/sbin/nginx -p "$conf" -c "$conf/nginx.conf" >/dev/null 2>&1 &
  pids+=($!)
  served="http://127.0.0.1:$port"
}

"$build/tests/kelvane_modern_site" "$work/modern-port" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/modern-port" ] && break; sleep 0.1; done
modern="http://127.0.0.1:$(cat "$work/modern-port")/site/"
serve sqlite "$sqlite"
sqlite_url="$served/"
serve apache /usr/share/doc/apache2-doc
apache_url="$served/manual/en/index.html"
sleep 0.5

printf '%-8s %-8s %s\n' site copier "what the browser saw"
for site in modern sqlite apache; do
  case $site in
    modern) url=$modern ;;
    sqlite) url=$sqlite_url ;;
    apache) url=$apache_url ;;
  esac
  for copier in kelvane wget; do
    out="$work/$site-$copier"
    if [ "$copier" = kelvane ]; then
      "$build/kelvane-cli" -pkE --jobs 4 --quiet --save-to "$out" "$url" || true
    else
      (cd "$work" && wget -r -np -l inf -p -k -E -q -P "$out" "$url") || true
    fi
    result=$(/usr/bin/python3 "$source_dir/tests/browser/browser_check.py" "$out" || true)
    printf '%-8s %-8s %s\n' "$site" "$copier" "$result"
  done
done
