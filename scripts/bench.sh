#!/usr/bin/env bash
# Everything `make bench` runs: builds quorvel2 and the benchmarks into
# build-bench, measures quorvel2 side by side with the programs a user would
# pick instead, on this machine in this one run, and prints one table.
#
#   raw streams     quorvel2 against p910nd (Debian's package)
#   HTTP print jobs quorvel2 against a cpp-httplib server (bench/net/httplib_peer)
#   HTTPS print jobs quorvel2 against the same cpp-httplib server over OpenSSL
#   footprint       quorvel2 against the same cpp-httplib server
#   parser          the parser benchmark (bench/parser), quorvel2 alone
#
# Every server runs on a free loopback port with a FIFO as its printer; the
# load client (bench/net/loadgen) reads that FIFO, so a figure ends only when
# the bytes have arrived. Each figure is the median of BENCH_RUNS runs
# (default 3), quorvel2 and its peer taking turns. Everything stops by itself.
# Usage: bench.sh [raw|http|https|footprint|parser...] (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${BENCH_RUNS:-3}"
# A raw run takes about a second and varies most from run to run: take more.
RAW_RUNS="${BENCH_RAW_RUNS:-$(( RUNS > 5 ? RUNS : 5 ))}"
RAW_BYTES=$((256 * 1024 * 1024))
RAW_SEQUENTIAL_CLIENTS=8
RAW_SEQUENTIAL_BYTES=$((32 * 1024 * 1024)) # per client: 8 x 32 MiB
HTTP_BODY=1024
HTTP_SECONDS="${BENCH_HTTP_SECONDS:-5}"
IDLE_CONNECTIONS=1000
IDLE_WITHIN_SECONDS=20 # quorvel2 drops a connection idle for 30 s
TLS_IDLE_CONNECTIONS=500
TLS_FLOOD_PEERS=8
TLS_FLOOD_SECONDS="${BENCH_TLS_FLOOD_SECONDS:-5}"

BUILD=build-bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQ2_BUILD_BENCH=ON -DQ2_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j 2 >/dev/null

Q2="$BUILD/src/quorvel2"
PEER="$BUILD/bench/net/httplib_peer"
LOADGEN="$BUILD/bench/net/loadgen"
PARSER_BENCH="$BUILD/bench/parser/parser_bench"
P910ND="$(command -v p910nd || echo /usr/sbin/p910nd)"

# 1,000 idle connections need descriptors in the servers (started from here).
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 65536 2>/dev/null || true

# quorvel2 opens device names of up to 31 characters: keep the FIFO paths short.
WORK="$(mktemp -d /tmp/q2b.XXXXXX)"
SERVER_PIDS=()
cleanup() {
  local pid
  for pid in "${SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${SERVER_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

# quorvel2 keeps its certificates in a state folder: the run gives it one of
# its own, so that nothing is made in the machine's.
Q2_HELP="$("$Q2" --help 2>&1 || true)"
Q2_STATE=()
if grep -q -- '--state-dir' <<<"$Q2_HELP"; then
  Q2_STATE=(--state-dir="$WORK/state")
fi

log() { printf '%s\n' "$*" >&2; }

# median VALUES...: the middle value (mean of the two middle ones when even).
median() {
  printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2] + v[NR/2+1]) / 2 }'
}

# field NAME LINE: the value of NAME=value in a loadgen result line.
field() {
  printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# Whether something listens on 127.0.0.1 or 0.0.0.0 at TCP port $1.
port_listening() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$4 == "0A" && ($2 == "0100007F" p || $2 == "00000000" p) {found=1} END {exit !found}' \
    /proc/net/tcp
}

wait_listening() { # PORT PID
  local i
  for i in $(seq 1 100); do
    port_listening "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

new_fifo() {
  local fifo="$WORK/$1"
  rm -f "$fifo"
  mkfifo "$fifo"
  printf '%s\n' "$fifo"
}

# start_quorvel2 FIFO [OPTION...]: sets PID and PORT.
start_quorvel2() {
  PORT=$("$LOADGEN" freeport)
  "$Q2" -p "$PORT" "${Q2_STATE[@]}" -d "$@" >"$WORK/quorvel2.log" 2>&1 &
  PID=$!
  SERVER_PIDS+=("$PID")
  wait_listening "$PORT" "$PID" || { log "quorvel2 did not start:"; cat "$WORK/quorvel2.log" >&2; exit 1; }
}

# start_httplib FIFO [CERT KEY]: sets PID and PORT.
start_httplib() {
  PORT=$("$LOADGEN" freeport)
  "$PEER" "$PORT" "$@" >"$WORK/httplib.log" 2>&1 &
  PID=$!
  SERVER_PIDS+=("$PID")
  wait_listening "$PORT" "$PID" || { log "httplib_peer did not start:"; cat "$WORK/httplib.log" >&2; exit 1; }
}

# start_p910nd FIFO: sets PID and PORT. Its port is 9100+n for n in 0..2;
# -d keeps it in the foreground; it then logs two lines per 8 KiB chunk to
# stdout, which goes to /dev/null so that costs it as little as it can.
start_p910nd() {
  local n
  mkdir -p /var/lock/p910nd
  for n in 0 1 2; do
    PORT=$((9100 + n))
    port_listening "$PORT" && continue
    "$P910ND" -d -i 127.0.0.1 -f "$1" "$n" >/dev/null 2>"$WORK/p910nd.log" &
    PID=$!
    SERVER_PIDS+=("$PID")
    wait_listening "$PORT" "$PID" && return 0
  done
  log "p910nd did not start on 9100..9102:"
  cat "$WORK/p910nd.log" >&2
  exit 1
}

stop_server() { # PID
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Results: ROW_KEYS in table order, and for each key its label, quorvel2 and
# peer values, and the direction that is better.
ROW_KEYS=()
declare -A LABEL Q2V PEERV PEERNAME BETTER
add_row() { # KEY LABEL PEERNAME BETTER(higher|lower|none)
  ROW_KEYS+=("$1")
  LABEL[$1]="$2"
  PEERNAME[$1]="$3"
  BETTER[$1]="$4"
}

# ---------------------------------------------------------------- raw streams
bench_raw() {
  log "== raw streams: quorvel2 vs p910nd ($RAW_RUNS runs)"
  local fifo_q fifo_p q_pid q_port p_pid p_port run line
  local -a q_one=() p_one=() q_seq=() p_seq=() q_cpu=() p_cpu=()
  fifo_q=$(new_fifo rq)
  fifo_p=$(new_fifo rp)
  start_quorvel2 "$fifo_q"; q_pid=$PID; q_port=$PORT
  start_p910nd "$fifo_p"; p_pid=$PID; p_port=$PORT
  for run in $(seq 1 "$RAW_RUNS"); do
    line=$("$LOADGEN" raw "$q_port" "$fifo_q" "$RAW_BYTES" 1 "$q_pid")
    q_one+=("$(field mbps "$line")"); q_cpu+=("$(field server_cpu_ms_per_100mb "$line")")
    line=$("$LOADGEN" raw "$p_port" "$fifo_p" "$RAW_BYTES" 1 "$p_pid")
    p_one+=("$(field mbps "$line")"); p_cpu+=("$(field server_cpu_ms_per_100mb "$line")")
    line=$("$LOADGEN" raw "$p_port" "$fifo_p" "$RAW_SEQUENTIAL_BYTES" "$RAW_SEQUENTIAL_CLIENTS" "$p_pid")
    p_seq+=("$(field mbps "$line")")
    line=$("$LOADGEN" raw "$q_port" "$fifo_q" "$RAW_SEQUENTIAL_BYTES" "$RAW_SEQUENTIAL_CLIENTS" "$q_pid")
    q_seq+=("$(field mbps "$line")")
    log "   run $run: 1 client q2 ${q_one[-1]} p910nd ${p_one[-1]} MB/s (server CPU ms/100 MB q2 ${q_cpu[-1]}" \
      "p910nd ${p_cpu[-1]}); 8 clients q2 ${q_seq[-1]} p910nd ${p_seq[-1]} MB/s"
  done
  stop_server "$q_pid"
  stop_server "$p_pid"
  add_row raw1 "raw stream, 1 client x 256 MiB (MB/s)" p910nd higher
  Q2V[raw1]=$(median "${q_one[@]}"); PEERV[raw1]=$(median "${p_one[@]}")
  add_row rawcpu "  server CPU per 100 MB, 1 client (ms)" p910nd lower
  Q2V[rawcpu]=$(median "${q_cpu[@]}"); PEERV[rawcpu]=$(median "${p_cpu[@]}")
  add_row raw8 "raw streams, 8 clients x 32 MiB in turn (MB/s)" p910nd higher
  Q2V[raw8]=$(median "${q_seq[@]}"); PEERV[raw8]=$(median "${p_seq[@]}")
}

# ------------------------------------------------------------ HTTP print jobs
bench_http() {
  log "== HTTP print jobs: quorvel2 vs cpp-httplib, ${HTTP_SECONDS}s per point ($RUNS runs)"
  local fifo_q fifo_p q_pid q_port p_pid p_port clients run line order who
  fifo_q=$(new_fifo hq)
  fifo_p=$(new_fifo hp)
  start_quorvel2 "$fifo_q"; q_pid=$PID; q_port=$PORT
  start_httplib "$fifo_p"; p_pid=$PID; p_port=$PORT
  for clients in 1 8 64; do
    local -a qj=() qp50=() qp99=() pj=() pp50=() pp99=() qcpu=() pcpu=() qp999=() pp999=()
    local qerr=0 perr=0
    for run in $(seq 1 "$RUNS"); do
      if (( run % 2 )); then order="q p"; else order="p q"; fi
      for who in $order; do
        if [ "$who" = q ]; then
          line=$("$LOADGEN" http "$q_port" "$fifo_q" "$HTTP_BODY" "$clients" "$HTTP_SECONDS" "$q_pid")
          qj+=("$(field jobs_per_s "$line")"); qp50+=("$(field p50_ms "$line")"); qp99+=("$(field p99_ms "$line")")
          qcpu+=("$(field server_cpu_us_per_job "$line")"); qp999+=("$(field p999_ms "$line")")
          qerr=$((qerr + $(field errors "$line")))
          log "   $clients clients run $run quorvel2: $line"
        else
          line=$("$LOADGEN" http "$p_port" "$fifo_p" "$HTTP_BODY" "$clients" "$HTTP_SECONDS" "$p_pid")
          pj+=("$(field jobs_per_s "$line")"); pp50+=("$(field p50_ms "$line")"); pp99+=("$(field p99_ms "$line")")
          pcpu+=("$(field server_cpu_us_per_job "$line")"); pp999+=("$(field p999_ms "$line")")
          perr=$((perr + $(field errors "$line")))
          log "   $clients clients run $run httplib:  $line"
        fi
      done
    done
    add_row "jobs$clients" "HTTP jobs/s, $clients clients (1 KiB, 1 req/conn)" cpp-httplib higher
    Q2V[jobs$clients]=$(median "${qj[@]}"); PEERV[jobs$clients]=$(median "${pj[@]}")
    add_row "p50_$clients" "  latency p50, $clients clients (ms)" cpp-httplib lower
    Q2V[p50_$clients]=$(median "${qp50[@]}"); PEERV[p50_$clients]=$(median "${pp50[@]}")
    add_row "p99_$clients" "  latency p99, $clients clients (ms)" cpp-httplib lower
    Q2V[p99_$clients]=$(median "${qp99[@]}"); PEERV[p99_$clients]=$(median "${pp99[@]}")
    add_row "p999_$clients" "  latency p99.9, $clients clients (ms)" cpp-httplib lower
    Q2V[p999_$clients]=$(median "${qp999[@]}"); PEERV[p999_$clients]=$(median "${pp999[@]}")
    add_row "err_$clients" "  failed requests, $clients clients (all runs)" cpp-httplib lower
    Q2V[err_$clients]=$qerr; PEERV[err_$clients]=$perr
    add_row "cpu_$clients" "  server CPU per job, $clients clients (us)" cpp-httplib lower
    Q2V[cpu_$clients]=$(median "${qcpu[@]}"); PEERV[cpu_$clients]=$(median "${pcpu[@]}")
  done
  stop_server "$q_pid"
  stop_server "$p_pid"
}

# ----------------------------------------------------------- HTTPS print jobs
# One test CA and a certificate it signed for localhost (ECDSA P-256, as
# quorvel2 makes its own), served by both servers.
make_tls_files() {
  local dir="$WORK/tls"
  mkdir -p "$dir"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$dir/server.ext"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -days 2 -subj "/CN=bench CA" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
    2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/server.key" -out "$dir/server.csr" \
    -subj "/CN=localhost" 2>/dev/null
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial -days 2 \
    -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
  TLS_CA="$dir/ca.pem" TLS_CERT="$dir/server.pem" TLS_KEY="$dir/server.key"
}

# Each job is a connection of its own (both servers answer one request per
# connection): "resumed" jobs resume the client thread's last TLS session (a
# ticket, or the TLS 1.2 session cache), "full" ones make the whole handshake.
bench_https() {
  log "== HTTPS print jobs: quorvel2 vs cpp-httplib over OpenSSL, ${HTTP_SECONDS}s per point ($RUNS runs)"
  if ! grep -q -- '--tls-cert' <<<"$Q2_HELP"; then
    log "   no HTTPS rows: this quorvel2 takes no --tls-cert"
    return 0
  fi
  make_tls_files
  local fifo_q fifo_p q_pid q_port p_pid p_port clients run line order who mode
  local -a q_tls=(--tls-cert="$TLS_CERT" --tls-key="$TLS_KEY")
  fifo_q=$(new_fifo sq)
  fifo_p=$(new_fifo sp)
  start_quorvel2 "$fifo_q" "${q_tls[@]}"; q_pid=$PID; q_port=$PORT
  start_httplib "$fifo_p" "$TLS_CERT" "$TLS_KEY"; p_pid=$PID; p_port=$PORT
  for mode in resumed full; do
    for clients in 1 8 64; do
      local -a qj=() pj=() qcpu=() pcpu=() qp99=() pp99=() qres=() pres=()
      local qerr=0 perr=0
      for run in $(seq 1 "$RUNS"); do
        if (( run % 2 )); then order="q p"; else order="p q"; fi
        for who in $order; do
          if [ "$who" = q ]; then
            line=$("$LOADGEN" https "$q_port" "$fifo_q" "$HTTP_BODY" "$clients" "$HTTP_SECONDS" "$q_pid" "$TLS_CA" "$mode")
            qj+=("$(field jobs_per_s "$line")"); qcpu+=("$(field server_cpu_us_per_job "$line")")
            qp99+=("$(field p99_ms "$line")"); qres+=("$(field resumed "$line")")
            qerr=$((qerr + $(field errors "$line")))
            log "   $mode, $clients clients run $run quorvel2: $line"
          else
            line=$("$LOADGEN" https "$p_port" "$fifo_p" "$HTTP_BODY" "$clients" "$HTTP_SECONDS" "$p_pid" "$TLS_CA" "$mode")
            pj+=("$(field jobs_per_s "$line")"); pcpu+=("$(field server_cpu_us_per_job "$line")")
            pp99+=("$(field p99_ms "$line")"); pres+=("$(field resumed "$line")")
            perr=$((perr + $(field errors "$line")))
            log "   $mode, $clients clients run $run httplib:  $line"
          fi
        done
      done
      local key="tls_${mode}_$clients"
      add_row "$key" "HTTPS jobs/s, $clients clients, $mode handshake per job" cpp-httplib higher
      Q2V[$key]=$(median "${qj[@]}"); PEERV[$key]=$(median "${pj[@]}")
      add_row "${key}_p99" "  latency p99 (ms)" cpp-httplib lower
      Q2V[${key}_p99]=$(median "${qp99[@]}"); PEERV[${key}_p99]=$(median "${pp99[@]}")
      add_row "${key}_cpu" "  server CPU per job (us)" cpp-httplib lower
      Q2V[${key}_cpu]=$(median "${qcpu[@]}"); PEERV[${key}_cpu]=$(median "${pcpu[@]}")
      add_row "${key}_err" "  failed requests (all runs)" cpp-httplib lower
      Q2V[${key}_err]=$qerr; PEERV[${key}_err]=$perr
      if [ "$mode" = resumed ]; then
        add_row "${key}_res" "  share of handshakes resumed" cpp-httplib higher
        Q2V[${key}_res]=$(median "${qres[@]}"); PEERV[${key}_res]=$(median "${pres[@]}")
      fi
    done
  done

  # A healthy job from 127.0.0.1 while peers from other addresses flood handshakes.
  local -a qmax=() pmax=() qrate=() prate=()
  for run in $(seq 1 "$RUNS"); do
    line=$("$LOADGEN" flood-tls "$q_port" "$fifo_q" "$TLS_FLOOD_PEERS" "$TLS_FLOOD_SECONDS" "$TLS_CA")
    log "   handshake flood run $run quorvel2: $line"
    qmax+=("$(field healthy_max_ms "$line")"); qrate+=("$(field flood_handshakes_per_s "$line")")
    line=$("$LOADGEN" flood-tls "$p_port" "$fifo_p" "$TLS_FLOOD_PEERS" "$TLS_FLOOD_SECONDS" "$TLS_CA")
    log "   handshake flood run $run httplib:  $line"
    pmax+=("$(field healthy_max_ms "$line")"); prate+=("$(field flood_handshakes_per_s "$line")")
  done
  stop_server "$q_pid"
  stop_server "$p_pid"
  add_row tls_flood "healthy HTTPS job, $TLS_FLOOD_PEERS peers flooding handshakes: slowest (ms; goal <= 1000)" \
    cpp-httplib lower
  Q2V[tls_flood]=$(median "${qmax[@]}"); PEERV[tls_flood]=$(median "${pmax[@]}")
  add_row tls_flood_rate "  flood handshakes served (/s)" cpp-httplib none
  Q2V[tls_flood_rate]=$(median "${qrate[@]}"); PEERV[tls_flood_rate]=$(median "${prate[@]}")

  # Memory of connections idle after their handshake. The peer's fixed pool
  # of threads handshakes only as many at once as it has threads, so it has
  # no figure here.
  local -a q_per=()
  for run in $(seq 1 "$RUNS"); do
    start_quorvel2 "$fifo_q" "${q_tls[@]}"
    line=$("$LOADGEN" idle-tls "$PORT" "$PID" "$TLS_IDLE_CONNECTIONS" "$IDLE_WITHIN_SECONDS" "$TLS_CA")
    stop_server "$PID"
    log "   run $run quorvel2, $TLS_IDLE_CONNECTIONS idle TLS connections: $line"
    q_per+=("$(field per_conn_kib "$line")")
  done
  add_row tls_per "resident memory per idle TLS connection (KiB; goal <= 64)" - lower
  Q2V[tls_per]=$(median "${q_per[@]}"); PEERV[tls_per]="-"
}

# ------------------------------------------------------------------ footprint
bench_footprint() {
  log "== footprint: quorvel2 vs cpp-httplib, $IDLE_CONNECTIONS idle connections ($RUNS runs)"
  local fifo run line
  local -a q_idle=() q_open=() q_per=() q_thr=() p_idle=() p_open=() p_per=() p_thr=()
  fifo=$(new_fifo idle)
  for run in $(seq 1 "$RUNS"); do
    # A fresh server each run: the idle figure is that of a server that has served nothing.
    start_quorvel2 "$fifo"
    line=$("$LOADGEN" idle "$PORT" "$PID" "$IDLE_CONNECTIONS" "$IDLE_WITHIN_SECONDS")
    stop_server "$PID"
    log "   run $run quorvel2: $line"
    q_idle+=("$(field rss_idle_kib "$line")"); q_open+=("$(field rss_open_kib "$line")")
    q_per+=("$(field per_conn_kib "$line")"); q_thr+=("$(field threads_per_conn "$line")")
    start_httplib "$fifo"
    line=$("$LOADGEN" idle "$PORT" "$PID" "$IDLE_CONNECTIONS" 0)
    stop_server "$PID"
    log "   run $run httplib:  $line"
    p_idle+=("$(field rss_idle_kib "$line")"); p_open+=("$(field rss_open_kib "$line")")
    p_per+=("$(field per_conn_kib "$line")"); p_thr+=("$(field threads_per_conn "$line")")
  done
  add_row rss_idle "resident memory, idle (KiB)" cpp-httplib lower
  Q2V[rss_idle]=$(median "${q_idle[@]}"); PEERV[rss_idle]=$(median "${p_idle[@]}")
  add_row rss_open "resident memory, $IDLE_CONNECTIONS idle connections (KiB)" cpp-httplib lower
  Q2V[rss_open]=$(median "${q_open[@]}"); PEERV[rss_open]=$(median "${p_open[@]}")
  add_row rss_per "  per connection (KiB; goal <= 64)" cpp-httplib lower
  Q2V[rss_per]=$(median "${q_per[@]}"); PEERV[rss_per]=$(median "${p_per[@]}")
  add_row thr_per "threads per connection" cpp-httplib lower
  Q2V[thr_per]=$(median "${q_thr[@]}"); PEERV[thr_per]=$(median "${p_thr[@]}")

  # Stripped sizes; the peer's own cpp-httplib shared library is counted with it.
  strip -o "$WORK/q2.stripped" "$Q2"
  strip -o "$WORK/peer.stripped" "$PEER"
  local q_size p_size lib lib_size=0
  q_size=$(stat -c %s "$WORK/q2.stripped")
  lib=$(ldd "$PEER" | awk '/libcpp-httplib/ {print $3}')
  if [ -n "$lib" ]; then lib_size=$(stat -L -c %s "$lib"); fi
  p_size=$(( $(stat -c %s "$WORK/peer.stripped") + lib_size ))
  add_row size "binary size, stripped (KiB; peer + libcpp-httplib.so)" cpp-httplib lower
  Q2V[size]=$(awk -v b="$q_size" 'BEGIN {printf "%.0f", b / 1024}')
  PEERV[size]=$(awk -v b="$p_size" 'BEGIN {printf "%.0f", b / 1024}')
}

# --------------------------------------------------------------------- parser
bench_parser() {
  if [ ! -x "$PARSER_BENCH" ]; then
    log "== parser: $PARSER_BENCH not built, no parser rows"
    return 0
  fi
  log "== parser: $PARSER_BENCH, median of $RUNS repetitions"
  local json="$WORK/parser.json" key=0 name mbps rps
  "$PARSER_BENCH" --benchmark_format=json --benchmark_repetitions="$RUNS" \
    --benchmark_report_aggregates_only=true >"$json" 2>"$WORK/parser.err" || {
    log "parser_bench failed:"; cat "$WORK/parser.err" >&2; return 0; }
  while IFS=$'\t' read -r name mbps rps; do
    if [ "$mbps" != "-" ]; then
      key=$((key + 1)); add_row "parser$key" "parser $name (MB/s)" - none
      Q2V[parser$key]="$mbps"; PEERV[parser$key]="-"
    fi
    if [ "$rps" != "-" ]; then
      key=$((key + 1)); add_row "parser$key" "parser $name (requests/s)" - none
      Q2V[parser$key]="$rps"; PEERV[parser$key]="-"
    fi
  done < <(jq -r '.benchmarks[]
      | select((.aggregate_name // "median") == "median")
      | [ (.run_name // .name),
          (if .bytes_per_second then (.bytes_per_second / 1e6 | . * 10 | round / 10 | tostring) else "-" end),
          (if .items_per_second then (.items_per_second | round | tostring) else "-" end) ]
      | @tsv' "$json")
}

print_table() {
  local key q p ratio verdict
  printf '\n%-58s %14s %14s %-12s %9s  %s\n' "figure (median of $RUNS runs, raw $RAW_RUNS)" quorvel2 peer "peer is" \
    "q2/peer" verdict
  printf '%s\n' "$(printf '%.0s-' $(seq 1 120))"
  for key in "${ROW_KEYS[@]}"; do
    q="${Q2V[$key]}"; p="${PEERV[$key]}"
    ratio="-"; verdict=""
    if [ "$p" != "-" ] && [ -n "$p" ]; then
      ratio=$(awk -v q="$q" -v p="$p" 'BEGIN { if (p + 0 == 0) print "-"; else printf "%.2f", q / p }')
      case "${BETTER[$key]}" in
        higher) verdict=$(awk -v q="$q" -v p="$p" 'BEGIN { print (q + 0 == p + 0) ? "even" : (q + 0 > p + 0) ? "ahead" : "BEHIND" }') ;;
        lower) verdict=$(awk -v q="$q" -v p="$p" 'BEGIN { print (q + 0 == p + 0) ? "even" : (q + 0 < p + 0) ? "ahead" : "BEHIND" }') ;;
      esac
    fi
    if [ "$key" = tls_per ]; then
      verdict="goal $(awk -v q="$q" 'BEGIN { print (q + 0 <= 64) ? "met" : "MISSED" }')"
    fi
    if [ "$key" = tls_flood ]; then
      verdict="$verdict; goal $(awk -v q="$q" 'BEGIN { print (q + 0 >= 0 && q + 0 <= 1000) ? "met" : "MISSED" }')"
    fi
    if [ "$key" = rss_per ]; then
      verdict="$verdict; goal $(awk -v q="$q" 'BEGIN { print (q + 0 <= 64) ? "met" : "MISSED" }')"
    fi
    printf '%-58s %14s %14s %-12s %9s  %s\n' "${LABEL[$key]}" "$q" "$p" "${PEERNAME[$key]}" "$ratio" "$verdict"
  done
}

for section in "${@:-raw http https footprint parser}"; do
  for name in $section; do
    "bench_$name"
  done
done
print_table
