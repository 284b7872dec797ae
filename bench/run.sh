#!/usr/bin/env bash
# The crawl benchmark: two sites served by nginx on 127.0.0.1, each mirrored alternately by every
# contender: kelvane-cli, kelvane-cli --jobs 2, 4 and 8, wget, wget2 and the wire ceiling; on the
# generated site also kelvane-cli --verbose and the window (offscreen); on the sqlite pages also
# kelvane-cli -p --jobs 8 beside wget -r -np -p, and the same crawl recording a WARC file. The sites: one generated
# (PAGES pages and as many pictures), and Debian's sqlite3-doc pages. Then complete copies of
# Debian's Python and SFML documentation: kelvane-cli -p -k -E and -p with no --jobs (the web
# rules' default concurrency) and -p -k -E --render (each page's scripts run in Chromium, whose
# processes count in its peak memory) beside wget2 -r -np -p -k -E -l inf.
# Usage: bench/run.sh [BUILD-DIR] [PAGES] [RUNS]
# Environment: OTHERS=0 runs kelvane-cli and the ceiling alone (no wget, no wget2); SITES, the
# sites to run ("generated sqlite python sfml"); SIZES, generated sites of these many pages
# ("20000 100000 1000000"), each copied complete by kelvane-cli -p -k -E and -p, by wget2 with
# -k -E and without, and by the disk ceiling (kelvane_disk_ceiling, or DISK_CEILING): with SIZES
# and no SITES, those alone run. RUNS1M, the runs at a million pages and more (at most 1 else),
# and CONTENDERS1M, by whom ("pke wget2ke"; all five else).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
pages=${2:-2000}
runs=${3:-5}
docs=/usr/share/doc/sqlite3
python_docs=$(ls -d /usr/share/doc/python3.*/html 2>/dev/null | sort -V | tail -1 || true)
python_docs=${python_docs:-/usr/share/doc/python3.11/html}
sfml_docs=/usr/share/doc/libsfml-dev/html
others=${OTHERS:-1}
sites=${SITES:-generated sqlite python sfml}
sizes=${SIZES:-}
if [ -n "$sizes" ] && [ -z "${SITES:-}" ]; then
  sites=""
fi
disk_ceiling=${DISK_CEILING:-$build/kelvane_disk_ceiling}
needed="/usr/sbin/nginx /usr/bin/wget /usr/bin/wget2 /usr/bin/time /usr/bin/bc /usr/bin/curl"
if [ -n "$sites" ]; then
  needed+=" $docs/index.html $python_docs/index.html $sfml_docs/index.html"
fi
if [ -n "$sizes" ] && [ ! -x "$disk_ceiling" ]; then
  echo "bench needs $disk_ceiling: build kelvane_disk_ceiling, or set DISK_CEILING" >&2
  exit 1
fi
for tool in $needed; do
  if [ ! -e "$tool" ]; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        nginx wget wget2 time bc curl sqlite3-doc python3-doc libsfml-doc >/dev/null
    else
      echo "bench needs: sudo apt-get install nginx wget wget2 time bc curl sqlite3-doc" \
        "python3-doc libsfml-doc" >&2
      exit 1
    fi
  fi
done

work=$(mktemp -d /tmp/kelvane-bench-XXXXXX)
nginx_pids=()
# The copies' own file systems go too, however the bench ends.
trap 'kill "${nginx_pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true
  findmnt -rn -o TARGET | grep "^$work/" | xargs -r -n 1 umount 2>/dev/null || true
  rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$work/config"

# Serves a directory with nginx on a free port; sets base to its address.
serve() {
  local name=$1 root=$2 port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  base="http://127.0.0.1:$port"
  local conf="$work/nginx-$name"
  mkdir -p "$conf"
  cat > "$conf/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
error_log $conf/error.log; pid $conf/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off; default_type application/octet-stream;
  types { text/html html htm; image/gif gif; image/png png; image/jpeg jpg; image/svg+xml svg;
    text/css css; application/javascript js; }
  client_body_temp_path $conf/b; proxy_temp_path $conf/p;
  fastcgi_temp_path $conf/f; uwsgi_temp_path $conf/u; scgi_temp_path $conf/s;
  server { listen 127.0.0.1:$port; root $root; }
}
CONF
  /usr/sbin/nginx -p "$conf" -c "$conf/nginx.conf" -e "$conf/error.log" &
  nginx_pids+=($!)
  for _ in $(seq 100); do curl -s -o /dev/null "$base/" && break; sleep 0.05; done
}

# The addresses a crawl fetched, from its copy: the wire ceiling fetches the same ones.
urls_of() {
  local host=$1
  (cd "$host" && find . -type f ! -name Kelvane.log | sed -e 's|^\./||' -e 's|~index\.htm$||' |
    sort | sed "s|^|$base/|")
}

# One run of a contender into a fresh directory: "seconds peak-KB files cpu-seconds". For the
# sites, nothing is deleted until the end (the generated sizes' copies have file systems of their
# own): ext4 skips the inodes freed in the last half minute when it allocates,
# and doing so after a deletion of thousands of files made one run up to three times slower than
# the next.
measure() {
  local site=$1 name=$2 out="$work/out-$1-$2-$3"
  mkdir -p "$out"
  local command
  case $name in
    kelvane) command=("$build/kelvane-cli" --quiet --save-to "$out" "$base/") ;;
    jobs[0-9]*) command=("$build/kelvane-cli" --jobs "${name#jobs}" --quiet --save-to "$out" "$base/") ;;
    wget) command=(wget -r -np -l inf -q -P "$out" "$base/") ;;
    wget2) command=(wget2 -r -np -l inf -q -P "$out" "$base/") ;;
    requisites) command=("$build/kelvane-cli" -p --jobs 8 --quiet --save-to "$out" "$base/") ;;
    archive) command=("$build/kelvane-cli" -p --jobs 8 --warc-file "$out-warc" --quiet --save-to "$out" "$base/") ;;
    wgetp) command=(wget -r -np -l inf -p -q -P "$out" "$base/") ;;
    pke) command=("$build/kelvane-cli" -p -k -E --quiet --save-to "$out" "$base/") ;;
    p) command=("$build/kelvane-cli" -p --quiet --save-to "$out" "$base/") ;;
    wget2pke) command=(wget2 -r -np -p -k -E -l inf -q -P "$out" "$base/") ;;
    wget2ke) command=(wget2 -r -np -l inf -k -E -q -P "$out" "$base/") ;;
    disk) command=("$disk_ceiling" "$work/list-$site" "$out") ;;
    render) command=("$build/kelvane-cli" -p -k -E --render --quiet --save-to "$out" "$base/") ;;
    ceiling) command=("$build/kelvane_wire_ceiling" "$work/urls-$site" "$out") ;;
    verbose) command=("$build/kelvane-cli" --quiet --verbose --save-to "$out" "$base/") ;;
    window) command=("$build/kelvane_window_crawl" "$base/" "$out") ;;
  esac
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f "%M %U %S" -o "$work/time" "${command[@]}" </dev/null >/dev/null 2>&1 &
  local pid=$! sampler=""
  # With the browser, its processes are a tree of their own: their memory is summed as it goes.
  if [ "$name" = render ]; then
    "$(dirname "$0")/tree_memory.py" "$pid" > "$work/tree" &
    sampler=$!
  fi
  wait "$pid" || true
  end=$(date +%s.%N)
  local files
  files=$(find "$out" -type f ! -name Kelvane.log ! -name '*.wget-hsts' | wc -l)
  read -r memory user system < <(tail -1 "$work/time")
  if [ -n "$sampler" ]; then
    wait "$sampler" || true
    memory=$(cat "$work/tree")
  fi
  echo "$(echo "$end - $start" | bc -l) $memory $files $(echo "$user + $system" | bc -l)"
}

median() { sort -n | awk '{v[NR]=$1} END { printf "%.3f\n", (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2 }'; }
stats() {  # median min max of wall, max peak memory, files, median cpu
  sort -n "$1" | awk '{w[NR]=$1; if ($2>m) m=$2; f=$3} END {
    med = (NR % 2) ? w[(NR+1)/2] : (w[NR/2] + w[NR/2+1]) / 2;
    printf "%.3f %.3f %.3f %d %d ", med, w[1], w[NR], m, f }'
  awk '{print $4}' "$1" | median
}
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }

# Runs every contender on one site, alternately, and prints its table and ratio lines.
bench_site() {
  local site=$1
  shift
  local contenders=("$@") name run
  for name in "${contenders[@]}"; do
    [ "$name" = ceiling ] && continue
    measure "$site" "$name" warm-up >/dev/null
    if [ "$name" = kelvane ]; then
      urls_of "$work/out-$site-kelvane-warm-up/${base#http://}" > "$work/urls-$site"
    fi
  done
  for run in $(seq "$runs"); do
    for name in "${contenders[@]}"; do
      measure "$site" "$name" "$run" >> "$work/results-$site-$name"
    done
  done
  echo "$site ($base/)"
  printf '%-10s %10s %10s %10s %8s %12s %10s\n' contender median_s min_s max_s files peak_mem_KB cpu_s
  local best="" best_median="" med min max mem files cpu
  for name in "${contenders[@]}"; do
    read -r med min max mem files cpu < <(stats "$work/results-$site-$name")
    printf '%-10s %10s %10s %10s %8s %12s %10s\n' "$name" "$med" "$min" "$max" "$files" "$mem" "$cpu"
    eval "median_$name=$med"
    if [[ $name == jobs* ]] && { [ -z "$best" ] || (($(echo "$med < $best_median" | bc -l))); }; then
      best=$name best_median=$med
    fi
  done
  if [ -n "${median_render:-}" ]; then
    local pages
    pages=$(find "$work/out-$site-pke-1" -name '*.html' | wc -l)
    echo "$site: render/pke=$(ratio "$median_render" "$median_pke"), $pages pages, scripts" \
      "$(echo "($median_render - $median_pke) * 1000 / $pages" | bc -l | xargs printf '%.0f') ms a page"
    unset median_render
  fi
  if [ -n "${median_pke:-}" ]; then
    if [ -n "${median_wget2pke:-}" ]; then
      echo "$site: pke/wget2pke=$(ratio "$median_pke" "$median_wget2pke") p/pke=$(ratio "$median_p" "$median_pke")"
    else
      echo "$site: p/pke=$(ratio "$median_p" "$median_pke")"
    fi
    echo
    unset median_pke median_p median_wget2pke
    return
  fi
  local vs_wget="" vs_wget2="" vs_wgetp=""
  if [ "$others" = 1 ]; then
    vs_wget="kelvane/wget=$(ratio "$median_kelvane" "$median_wget") "
    vs_wget2="$best/wget2=$(ratio "$best_median" "$median_wget2") $best/wget=$(ratio "$best_median" "$median_wget") "
    [ -n "${median_requisites:-}" ] && vs_wgetp="$site: requisites/wgetp=$(ratio "$median_requisites" "$median_wgetp")"
  fi
  if [ "$site" = generated ]; then
    echo "${vs_wget}kelvane/ceiling=$(ratio "$median_kelvane" "$median_ceiling") verbose/plain=$(ratio "$median_verbose" "$median_kelvane") window/cli=$(ratio "$median_window" "$median_kelvane")"
  fi
  echo "$site: ${vs_wget2}kelvane/ceiling=$(ratio "$median_kelvane" "$median_ceiling")"
  [ -z "$vs_wgetp" ] || echo "$vs_wgetp"
  [ -z "${median_archive:-}" ] || echo "$site: archive/requisites=$(ratio "$median_archive" "$median_requisites")"
  echo
}

# The files of a copy, for the disk ceiling: "path<TAB>size", and "<TAB>1" on the pages, which
# the conversion writes a second time.
list_of() {
  (cd "$1" && find . -type f ! -name Kelvane.log -printf '%P\t%s\n') |
    awk -F'\t' '{ print $0 ($1 ~ /\.html?$/ ? "\t1" : "") }' > "$2"
}
share() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }

# A generated site of SIZE pages and as many pictures, copied complete by every contender in
# turn, each copy into an ext4 file system of its own, made afresh and thrown away once the copy
# is counted: a copy deleted from a shared one leaves ext4 slow for minutes (two to three times
# at 100,000 pages), which would fall on whatever ran next. Only root can mount them; others
# write into the bench's own directory, and the larger sizes are then not to be trusted. The
# disk ceiling writes the files of the first pke copy.
declare -A size_wall=()
# An empty ext4 file system of its own at DIR, for FILES files of the site, on a sparse image.
fresh_fs() {
  local dir=$1 files=$2
  mkdir -p "$dir"
  [ "$(id -u)" = 0 ] || return 0
  ! mountpoint -q "$dir" || umount "$dir"
  truncate -s "$(((files * 12 + 1048576) >> 10))M" "$dir.img"
  # Inode tables written now, not by a kernel thread while a contender runs.
  mkfs.ext4 -q -F -N $((files + 65536)) -E lazy_itable_init=0,lazy_journal_init=0 "$dir.img"
  mount -o loop "$dir.img" "$dir"
}
drop_fs() {
  local dir=$1
  if mountpoint -q "$dir"; then
    umount "$dir"
    rm -f "$dir.img"
    rmdir "$dir"
  else
    rm -rf "$dir"
  fi
}
bench_size() {
  local size=$1 site="generated-$1" root="$work/site-$1"
  local contenders=(pke $(theirs wget2ke) p $(theirs wget2) disk)
  local size_runs=$runs name run out
  if ((size >= 1000000)); then
    size_runs=${RUNS1M:-$((runs < 1 ? runs : 1))}
    read -r -a contenders <<< "${CONTENDERS1M:-${contenders[*]}}"
  fi
  # The site, one copy and one spare, each file in a block of its own (12 KB a file of the site
  # for the copy's image).
  local files=$((2 * 2 * size + 12 * 2 * size / 4)) block free_inodes free_bytes
  block=$(stat -f -c %S "$work")
  free_inodes=$(df --output=iavail "$work" | tail -1 | tr -d ' ')
  free_bytes=$(df -B1 --output=avail "$work" | tail -1 | tr -d ' ')
  # Without root the copy shares the site's file system.
  local inodes=$((2 * size * ($(id -u) == 0 ? 1 : 2)))
  if ((free_inodes < inodes || free_bytes < files * block)); then
    echo "$site: skipped: needs $inodes inodes and $((files * block >> 20)) MiB," \
      "$free_inodes and $((free_bytes >> 20)) MiB free"
    echo
    return
  fi
  mkdir -p "$root"
  serve "$site" "$root"
  "$build/kelvane_bench_site" "$size" "$root" "$base" > /dev/null
  sync
  for run in warm-up $(seq "$size_runs"); do
    # No warm-up from 100,000 pages on: the site is read from disk alike by every contender.
    if [ "$run" = warm-up ] && ((size >= 100000)); then
      continue
    fi
    for name in "${contenders[@]}"; do
      out="$work/out-$site-$name-$run"
      if [ "$name" = disk ] && [ ! -e "$work/list-$site" ]; then
        continue  # it writes what a pke copy holds: there was none
      fi
      fresh_fs "$out" $((2 * size))
      if [ "$run" = warm-up ]; then
        measure "$site" "$name" "$run" > /dev/null
      else
        measure "$site" "$name" "$run" >> "$work/results-$site-$name"
      fi
      if [ "$name" = pke ] && [ ! -e "$work/list-$site" ]; then
        list_of "$out" "$work/list-$site"
      fi
      drop_fs "$out"
      rm -rf "$out-warc"
    done
  done
  echo "$site ($base/)"
  printf '%-10s %10s %10s %10s %8s %12s %10s\n' contender median_s min_s max_s files peak_mem_KB cpu_s
  local -A wall=() cpu=() mem=() stored=()
  local med min max
  for name in "${contenders[@]}"; do
    [ -e "$work/results-$site-$name" ] || continue
    read -r med min max "mem[$name]" "stored[$name]" "cpu[$name]" \
      < <(stats "$work/results-$site-$name")
    wall[$name]=$med
    printf '%-10s %10s %10s %10s %8s %12s %10s\n' "$name" "$med" "$min" "$max" "${stored[$name]}" \
      "${mem[$name]}" "${cpu[$name]}"
  done
  size_wall[pke:$size]=${wall[pke]:-}
  size_wall[p:$size]=${wall[p]:-}
  local line="$site:"
  if [ "$others" = 1 ]; then
    line+=" pke/wget2ke wall=$(share "${wall[pke]:-}" "${wall[wget2ke]:-}")"
    line+=" cpu=$(share "${cpu[pke]:-}" "${cpu[wget2ke]:-}") (target 0.8)"
    line+=" p/wget2 wall=$(share "${wall[p]:-}" "${wall[wget2]:-}") cpu=$(share "${cpu[p]:-}" "${cpu[wget2]:-}")"
  fi
  line+=" pke_mem=${mem[pke]:-}KB limit=$((65536 + 400 * ${stored[pke]:-0} / 1024))KB"
  line+=" (64 MB + 400 B x ${stored[pke]:-} files) pke/disk=$(share "${wall[pke]:-}" "${wall[disk]:-}")"
  echo "$line"
  echo
}

# How the time grows with the site: from LARGE pages over SMALL, for pke and p.
linearity() {
  local small=$1 large=$2 target=$3 name line=""
  for name in pke p; do
    if [ -n "${size_wall[$name:$small]:-}" ] && [ -n "${size_wall[$name:$large]:-}" ]; then
      line+=" $name=$(share "${size_wall[$name:$large]}" "${size_wall[$name:$small]}")"
    fi
  done
  if [ -n "$line" ]; then
    echo "time($large)/time($small):$line (target <= $target)"
  fi
}

if [ -n "$sites" ]; then
  mkdir -p "$work/site"
  serve generated "$work/site"
  "$build/kelvane_bench_site" "$pages" "$work/site" "$base" > /dev/null
  generated_base=$base
  serve sqlite "$docs"
  sqlite_base=$base
  serve python "$python_docs"
  python_base=$base
  serve sfml "$sfml_docs"
  sfml_base=$base
fi
theirs() { [ "$others" = 1 ] && echo "$@"; true; }

# Files deleted just before (an earlier run's clean-up) would slow the first runs down; see above.
sleep "${BENCH_SETTLE_SECONDS:-31}"
for site in $sites; do
  case $site in
    generated)
      base=$generated_base
      bench_site generated kelvane jobs2 jobs4 jobs8 $(theirs wget wget2) ceiling verbose window ;;
    sqlite)
      base=$sqlite_base
      bench_site sqlite kelvane jobs2 jobs4 jobs8 $(theirs wget wget2) ceiling requisites \
        archive $(theirs wgetp) ;;
    python) base=$python_base; bench_site python pke p render $(theirs wget2pke) ;;
    sfml) base=$sfml_base; bench_site sfml pke p render $(theirs wget2pke) ;;
  esac
done
for size in $sizes; do
  bench_size "$size"
done
linearity 20000 100000 5.5
linearity 100000 1000000 11
