#!/usr/bin/env bash
# Measures Vesktor against two general forward proxies, tinyproxy and Privoxy, and against the
# origin server reached directly, on loopback. The scenarios:
#   download-256m  curl fetching a 256 MiB file, each download checked byte for byte (SHA-256);
#   ka-1 ka-50 ka-250 close-1 close-50 close-250
#                  wrk with 1, 50 and 250 connections on a 1 KiB file, with keep-alive and
#                  with "Connection: close";
#   ka-50-100k     50 keep-alive connections on a 100 KiB file;
#   pipeline-50    50 connections, each sending 10 requests at once (bench/pipeline.lua);
#   upload-256m    curl sending the 256 MiB file with PUT, stored by nginx and checked by SHA-256;
#   https-ka-50 https-close-50 https-ka-250
#                  hey with 50 and 250 keep-alive connections and with 50 connections of one
#                  request each, on the 1 KiB file from nginx over TLS (its certificate from a
#                  test CA made here), through Vesktor inspecting (vesktor-inspect, the test
#                  host's --inspect) and as a blind tunnel (vesktor-tunnel), through Privoxy
#                  with +https-inspection (privoxy-inspect) and as a blind tunnel
#                  (privoxy-tunnel), and directly. Every response must be a 200 of 1 KiB.
# Also measured: each proxy's resident size before any traffic ("idle"), its peak resident size
# (VmHWM) in each scenario, and, in each of Vesktor's wrk runs, the worst lateness of a 10 ms
# timer on the window's thread (the test host's "lateness" commands).
# The HTTPS targets trust one bundle (SSL_CERT_FILE): the test CA, Vesktor's CA (made by the
# inspecting test host in a data folder of its own) and Privoxy's (RSA, made here).
# Each measurement is repeated and the median is reported, in one table with Vesktor's ratio
# to each peer and to direct and a line per goal (bench/report.awk), and Vesktor's ratios are
# drawn as a chart (bench/ratios.gp). Everything listens on loopback ports of its own; only
# processes started here are stopped, and only those.
#
# Installs what is missing (apt-get) and makes a Release build in build-bench/ first.
#
# Settings (environment): BENCH_SECONDS per wrk run (default 2), BENCH_HTTPS_SECONDS per hey run
# (default 5: over 2 s, hey's requests per second at 250 connections ranged from 9,000 to 24,000
# directly against nginx on a quiet machine, over 5 s from 8,700 to 10,000), BENCH_REPEATS
# (default 3),
# BENCH_SCENARIOS: the scenarios to run, by name, separated by spaces (default: all),
# BENCH_RESULTS: a file to which the medians are also written as tab-separated values,
# BENCH_CHART: where the chart goes (default build-bench/bench-ratios.png),
# BENCH_SKIP_BUILD=1 uses build-bench/ as it is, BENCH_HOST_PROGRAM runs another build's
# test host in Vesktor's place (to compare builds; a host without --inspect runs the HTTPS
# scenarios without the vesktor-inspect target), BENCH_BASELINE: a BENCH_RESULTS file of another
# build's run, whose blind tunnels the goals compare with this build's,
# BENCH_HTTPS_CHART: where the HTTPS chart goes (default build-bench/bench-https-ratios.png),
# BENCH_HOST_ARGS: more options for the test host of the plain scenarios' target "vesktor"
# (--remove-response, say, to time the response list).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench="$here/bench"
seconds="${BENCH_SECONDS:-2}"
https_seconds="${BENCH_HTTPS_SECONDS:-5}"
repeats="${BENCH_REPEATS:-3}"
chart="${BENCH_CHART:-$here/build-bench/bench-ratios.png}"
https_chart="${BENCH_HTTPS_CHART:-$here/build-bench/bench-https-ratios.png}"

all_scenarios="download-256m ka-1 ka-50 ka-250 close-1 close-50 close-250 ka-50-100k"
all_scenarios+=" pipeline-50 upload-256m https-ka-50 https-close-50 https-ka-250"
selected=" ${BENCH_SCENARIOS:-$all_scenarios} "
for name in $selected; do
    if [[ " $all_scenarios " != *" $name "* ]]; then
        echo "unknown scenario \"$name\" in BENCH_SCENARIOS; known: $all_scenarios" >&2
        exit 2
    fi
done
wants() { [[ "$selected" == *" $1 "* ]]; }
wants_https() { [[ "$selected" == *" https-"* ]]; }

source "$here/scripts/packages.sh"
BENCH_PACKAGES=(wrk nginx tinyproxy privoxy curl gnuplot-nox hey openssl)
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
if [ "${BENCH_SKIP_BUILD:-}" != 1 ]; then
    echo "# building build-bench/ (Release)"
    mkdir -p "$here/build-bench"
    if ! "$here/scripts/build.sh" "$here/build-bench" -DCMAKE_BUILD_TYPE=Release \
        > "$here/build-bench/bench-build.log" 2>&1; then
        tail -n 30 "$here/build-bench/bench-build.log" >&2
        echo "FAILED: the build (log: build-bench/bench-build.log)" >&2
        exit 1
    fi
fi
host_program="${BENCH_HOST_PROGRAM:-$here/build-bench/tests/host/vesktor_test_host}"
[ -x "$host_program" ] || { echo "no test host at $host_program" >&2; exit 1; }

started_at=$SECONDS
tmp="$(mktemp -d "${TMPDIR:-/tmp}/vesktor-bench.XXXXXX")"
pids=()          # everything started here, stopped by cleanup() in reverse order
declare -A host_stdin=() # the test hosts' stdin pipes, by target
watch_fd=""

note() { echo "# $*"; }

fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

still_runs() { kill -0 "$1" 2> /dev/null; }

stop_process()
{
    local pid="$1" i
    kill -TERM "$pid" 2> /dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        still_runs "$pid" || break
        sleep 0.1
    done
    still_runs "$pid" && kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null || true
}

cleanup()
{
    local status=$? i fd
    set +e
    trap '' PIPE INT TERM
    for fd in "${host_stdin[@]}"; do exec {fd}>&-; done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        stop_process "${pids[i]}"
    done
    if [ -n "$watch_fd" ]; then
        echo "done" >&"$watch_fd"
        exec {watch_fd}>&-
    fi
    if [ "$status" -ne 0 ]; then
        for log in "$tmp"/*.log "$tmp"/*.err; do
            [ -s "$log" ] && { echo "----- $log -----" >&2; tail -n 20 "$log" >&2; }
        done
    fi
    if [ -n "${BENCH_KEEP_TMP:-}" ]; then echo "kept $tmp" >&2; else rm -rf "$tmp"; fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Should this script be killed without running cleanup(), a watcher ends what it started: it
# reads a pipe whose only writer is this script, and at end of input without "done" it stops
# every process listed in $tmp/pids and removes the temporary folder. The servers are started
# with the pipe closed, or they would hold it open themselves.
mkfifo "$tmp/watch"
(
    trap '' INT TERM
    word=""
    read -r word < "$tmp/watch" || true
    if [ "$word" != "done" ]; then
        if [ -f "$tmp/pids" ]; then
            while read -r pid; do kill -TERM "$pid" 2> /dev/null; done < "$tmp/pids"
            sleep 2
        fi
        [ -n "${BENCH_KEEP_TMP:-}" ] || rm -rf "$tmp"
    fi
) < /dev/null > /dev/null 2>&1 &
exec {watch_fd}> "$tmp/watch"

remember() { pids+=("$1"); echo "$1" >> "$tmp/pids"; }

port_answers() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

# A free loopback port, below 32768: the kernel hands out its ephemeral ports above that, so
# a port picked here is not taken meanwhile by one of the many outgoing connections.
pick_port()
{
    local i port
    for ((i = 0; i < 100; i++)); do
        port=$((20000 + RANDOM % 12768))
        port_answers "$port" || { echo "$port"; return 0; }
    done
    fail "found no free loopback port"
}

wait_for_port()
{
    local pid="$1" port="$2" what="$3" i
    for ((i = 0; i < 100; i++)); do
        still_runs "$pid" || fail "$what ended at start"
        port_answers "$port" && return 0
        sleep 0.1
    done
    fail "$what does not answer on port $port"
}

fill_template()
{
    sed -e "s|@PORT@|$2|g" -e "s|@TMP@|$tmp|g" -e "s|@ROOT@|$tmp/www|g" -e "s|@USER@|${3:-}|" \
        -e "s|@TLS_PORT@|${tls_port:-}|g" "$1"
}

# ---------------------------------------------------------------------------------------------
# Origin files, servers and proxies

mkdir -p "$tmp/www" "$tmp/privoxy" "$tmp/upload"
head -c 1024 /dev/urandom > "$tmp/www/1k.bin"
head -c 102400 /dev/urandom > "$tmp/www/100k.bin"
if wants download-256m || wants upload-256m; then
    head -c 268435456 /dev/urandom > "$tmp/www/256m.bin"
    big_sha="$(sha256sum < "$tmp/www/256m.bin" | cut -d' ' -f1)"
fi

# The HTTPS origin's certificate for 127.0.0.1, from a test CA made for this run (ECDSA P-256,
# valid for two days); Privoxy's CA is RSA, which its mbedTLS build needs. Keys are made with a
# umask that gives them mode 0600 from their first byte, and openssl's chatter goes to a log.
# bundle.pem is the one trust file (SSL_CERT_FILE) of the clients and the inspecting proxies;
# Vesktor's CA is added once its test host has made it.
mkdir -p "$tmp/tls" "$tmp/privoxy-inspect/ca" "$tmp/privoxy-inspect/certs"
(
    umask 077
    cd "$tmp/tls"
    # mbedTLS (Privoxy) matches names only, never an IP address entry: hence the DNS entry.
    printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=critical,CA:FALSE\n%s\n' \
        'extendedKeyUsage=serverAuth' > origin.ext
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -days 2 \
        -subj "/CN=Vesktor bench test CA" -keyout test-ca.key -out test-ca.pem
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -subj "/CN=127.0.0.1" \
        -keyout origin.key -out origin.csr
    openssl x509 -req -in origin.csr -CA test-ca.pem -CAkey test-ca.key -set_serial 1 -days 2 \
        -extfile origin.ext -out origin.pem
    if wants_https; then
        openssl req -x509 -newkey rsa:2048 -noenc -days 2 -subj "/CN=Privoxy bench CA" \
            -keyout "$tmp/privoxy-inspect/ca/cakey.pem" -out "$tmp/privoxy-inspect/ca/cacert.crt"
    fi
) > "$tmp/openssl.log" 2>&1 || fail "openssl could not make the test certificates"
cat "$tmp/tls/test-ca.pem" > "$tmp/tls/bundle.pem"
wants_https && cat "$tmp/privoxy-inspect/ca/cacert.crt" >> "$tmp/tls/bundle.pem"

nginx_port="$(pick_port)"
tls_port="$(pick_port)"
user_line=""
# As root, nginx would hand its worker to "nobody", who cannot read the temporary folder.
[ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
fill_template "$bench/nginx.conf.in" "$nginx_port" "$user_line" > "$tmp/nginx.conf"
nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/nginx-error.log" < /dev/null \
    > "$tmp/nginx.log" 2>&1 {watch_fd}>&- &
remember $!
wait_for_port $! "$nginx_port" nginx
wait_for_port $! "$tls_port" "nginx (TLS)"
origin="127.0.0.1:$nginx_port"
tls_origin="127.0.0.1:$tls_port"

tinyproxy_port="$(pick_port)"
fill_template "$bench/tinyproxy.conf.in" "$tinyproxy_port" > "$tmp/tinyproxy.conf"
tinyproxy -d -c "$tmp/tinyproxy.conf" < /dev/null > "$tmp/tinyproxy.err" 2>&1 {watch_fd}>&- &
tinyproxy_pid=$!
remember "$tinyproxy_pid"
wait_for_port "$tinyproxy_pid" "$tinyproxy_port" tinyproxy

privoxy_port="$(pick_port)"
fill_template "$bench/privoxy.conf.in" "$privoxy_port" > "$tmp/privoxy.conf"
privoxy --no-daemon --pidfile "$tmp/privoxy.pid" "$tmp/privoxy.conf" < /dev/null \
    > "$tmp/privoxy.err" 2>&1 {watch_fd}>&- &
privoxy_pid=$!
remember "$privoxy_pid"
wait_for_port "$privoxy_pid" "$privoxy_port" Privoxy

if wants_https; then
    privoxy_inspect_port="$(pick_port)"
    fill_template "$bench/privoxy-inspect.conf.in" "$privoxy_inspect_port" \
        > "$tmp/privoxy-inspect.conf"
    printf '{+https-inspection +limit-connect{-}}\n/\n' > "$tmp/privoxy-inspect/inspect.action"
    privoxy --no-daemon --pidfile "$tmp/privoxy-inspect.pid" "$tmp/privoxy-inspect.conf" \
        < /dev/null > "$tmp/privoxy-inspect.err" 2>&1 {watch_fd}>&- &
    privoxy_inspect_pid=$!
    remember "$privoxy_inspect_pid"
    wait_for_port "$privoxy_inspect_pid" "$privoxy_inspect_port" "Privoxy (inspecting)"
fi

# start_host TARGET [OPTION...]: the test host on a port the system picks, with data and settings
# folders of its own in the temporary folder (so its CA and settings stay there) and the bundle
# as its trust store. Its stdin is a pipe held by this script: should the script end in any
# way, the host sees end of input and stops. Sets host_pid and host_port.
start_host()
{
    local target="$1" fd i
    shift
    mkdir -p "$tmp/$target/data" "$tmp/$target/config"
    mkfifo "$tmp/$target.in"
    (
        # Neither the watcher's pipe nor another host's stdin stays open in this host.
        exec {watch_fd}>&-
        for fd in "${host_stdin[@]}"; do exec {fd}>&-; done
        XDG_DATA_HOME="$tmp/$target/data" XDG_CONFIG_HOME="$tmp/$target/config" \
            SSL_CERT_FILE="$tmp/tls/bundle.pem" QT_QPA_PLATFORM=offscreen \
            QT_LOGGING_RULES='qt.qpa.*=false' \
            exec "$host_program" --port 0 "$@"
    ) < "$tmp/$target.in" > "$tmp/$target.out" 2> "$tmp/$target.err" &
    host_pid=$!
    remember "$host_pid"
    exec {fd}> "$tmp/$target.in"
    host_stdin[$target]=$fd
    for ((i = 0; i < 100; i++)); do
        grep -q '^listening [0-9]' "$tmp/$target.out" && break
        still_runs "$host_pid" || fail "the test host ($target) ended at start"
        sleep 0.1
    done
    host_port="$(sed -n 's/^listening \([0-9]*\)$/\1/p' "$tmp/$target.out" | head -n 1)"
    [ -n "$host_port" ] || fail "the test host ($target) did not report its port"
}

# Vesktor with its default settings. For the HTTPS scenarios, two more: a blind tunnel, and one
# inspecting HTTPS when the test host can (an older build's cannot). Both take up to 1000
# connections instead of 254: hey opens more connections than it has workers (Go's client dials
# anew when a request comes before the last response's connection is back in its pool, and
# closes the surplus later), and with 250 workers a limit of 254 refused some of them.
# shellcheck disable=SC2086 # BENCH_HOST_ARGS is a list of options
start_host vesktor ${BENCH_HOST_ARGS:-}
vesktor_pid=$host_pid
vesktor_port=$host_port
inspects=0
if wants_https; then
    start_host vesktor-tunnel --max-threads 1000
    vesktor_tunnel_pid=$host_pid
    vesktor_tunnel_port=$host_port
fi
if wants_https &&
    QT_QPA_PLATFORM=offscreen "$host_program" --help 2> /dev/null | grep -q -- '--inspect'; then
    inspects=1
    start_host vesktor-inspect --inspect --max-threads 1000
    vesktor_inspect_pid=$host_pid
    vesktor_inspect_port=$host_port
    vesktor_ca="$tmp/vesktor-inspect/data/vesktor/vesktor-ca.pem"
    [ -s "$vesktor_ca" ] || fail "the inspecting test host made no CA at $vesktor_ca"
    cat "$vesktor_ca" >> "$tmp/tls/bundle.pem"
elif wants_https; then
    note "this test host has no --inspect: the HTTPS scenarios run without vesktor-inspect"
fi

note "nginx $origin, Vesktor :$vesktor_port, tinyproxy :$tinyproxy_port, Privoxy :$privoxy_port"
note "$(tinyproxy -v 2>&1 | head -n 1); $(privoxy --version | head -n 1 | cut -d'(' -f1)"
note "$(nginx -v 2>&1); $(wrk -v 2>&1 | head -n 1 | cut -d' ' -f1-2)"
wants_https && note "HTTPS: nginx $tls_origin, hey $(dpkg-query -W -f '${Version}' hey)," \
    "Vesktor inspecting :${vesktor_inspect_port:--}, Privoxy inspecting :$privoxy_inspect_port"

targets=(direct vesktor tinyproxy privoxy)
declare -A proxy_port=([vesktor]=$vesktor_port [tinyproxy]=$tinyproxy_port [privoxy]=$privoxy_port)
declare -A proxy_pid=([vesktor]=$vesktor_pid [tinyproxy]=$tinyproxy_pid [privoxy]=$privoxy_pid)
# The HTTPS scenarios' targets. Privoxy's blind tunnel is the HTTP scenarios' Privoxy.
https_targets=(direct)
if wants_https; then
    [ "$inspects" = 1 ] && https_targets+=(vesktor-inspect)
    https_targets+=(vesktor-tunnel privoxy-inspect privoxy-tunnel)
    proxy_port+=([vesktor-tunnel]=$vesktor_tunnel_port [privoxy-tunnel]=$privoxy_port
        [privoxy-inspect]=$privoxy_inspect_port)
    proxy_pid+=([vesktor-tunnel]=$vesktor_tunnel_pid [privoxy-tunnel]=$privoxy_pid
        [privoxy-inspect]=$privoxy_inspect_pid)
    if [ "$inspects" = 1 ]; then
        proxy_port+=([vesktor-inspect]=$vesktor_inspect_port)
        proxy_pid+=([vesktor-inspect]=$vesktor_inspect_pid)
    fi
fi
# The test host behind a Vesktor target, whose stdin takes the lateness commands.
host_of()
{
    case "$1" in
    vesktor | vesktor-tunnel | vesktor-inspect) echo "$1" ;;
    *) return 1 ;;
    esac
}

# A process and all its descendants.
process_tree()
{
    local pid="$1" child
    echo "$pid"
    for child in $(pgrep -P "$pid" 2> /dev/null || true); do
        process_tree "$child"
    done
}

# Forgets the peak resident size of a target's processes, so the next reading covers only
# what happens from now on.
reset_peak()
{
    local pid
    [ "$1" = direct ] && return 0
    for pid in $(process_tree "${proxy_pid[$1]}"); do
        echo 5 > "/proc/$pid/clear_refs" 2> /dev/null || true
    done
}

# A size in KiB from /proc/PID/status, summed over the target's processes: FIELD VmHWM is the
# peak since reset_peak, VmRSS the present size.
status_kib()
{
    local total=0 pid value
    if [ "$1" = direct ]; then
        echo "-"
        return 0
    fi
    for pid in $(process_tree "${proxy_pid[$1]}"); do
        value="$(awk -v field="$2:" '$1 == field {print $2}' "/proc/$pid/status" 2> /dev/null ||
            true)"
        total=$((total + ${value:-0}))
    done
    echo "$total"
}

peak_kib() { status_kib "$1" VmHWM; }

# host_command TARGET COMMAND: a line to the stdin of the target's test host.
host_command() { echo "$2" >&"${host_stdin[$(host_of "$1")]}"; }

# Asks the target's test host for the worst lateness of its window's timer and prints it (ms).
host_lateness()
{
    local out before i
    out="$tmp/$(host_of "$1").out"
    before="$(grep -c '^timer lateness ' "$out" || true)"
    host_command "$1" "lateness report"
    for ((i = 0; i < 100; i++)); do
        if [ "$(grep -c '^timer lateness ' "$out" || true)" -gt "$before" ]; then
            sed -n 's/^timer lateness //p' "$out" | tail -n 1
            return 0
        fi
        sleep 0.05
    done
    fail "the test host did not report its timer's lateness"
}

curl_through()
{
    local target="$1"
    shift
    if [ "$target" = direct ]; then
        env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY curl -sS --noproxy '*' "$@"
    else
        env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
            curl -sS -x "http://127.0.0.1:${proxy_port[$target]}" "$@"
    fi
}

# One line per run: scenario target repeat req/s p50_us p99_us MB/s peak_KiB errors GUI_ms
results="$tmp/results.tsv"
: > "$results"
# Peers that broke under pipelining: scenario target repeat what-was-seen
notes="$tmp/notes.tsv"
: > "$notes"

# The resident size of each proxy before it has seen any traffic. Each scenario's peak is
# measured from the resident size at the start of its run, which memory kept from earlier
# scenarios can raise; the goals count growth from this first reading.
idle_targets=(vesktor tinyproxy privoxy)
wants_https && idle_targets+=(vesktor-tunnel privoxy-inspect)
[ "$inspects" = 1 ] && idle_targets+=(vesktor-inspect)
for target in "${idle_targets[@]}"; do
    printf 'idle\t%s\t1\t-\t-\t-\t-\t%s\t0\t-\n' "$target" "$(status_kib "$target" VmRSS)" \
        >> "$results"
done

# ---------------------------------------------------------------------------------------------
# Every target hands out the small files byte for byte before anything is timed.

for target in "${targets[@]}"; do
    for file in 1k.bin 100k.bin; do
        curl_through "$target" --max-time 10 -o "$tmp/check.bin" "http://$origin/$file" ||
            fail "$target: curl for $file failed"
        cmp -s "$tmp/check.bin" "$tmp/www/$file" || fail "$target: $file arrived changed"
    done
done
note "the 1 KiB and 100 KiB files arrive unchanged through every target"
# Over HTTPS curl checks each certificate against the bundle: the origin's directly and through
# the tunnels, the inspecting proxy's through the others. This also has Privoxy make its leaf
# for the origin (an RSA key) before anything is timed.
if wants_https; then
    for target in "${https_targets[@]}"; do
        curl_through "$target" --max-time 30 --cacert "$tmp/tls/bundle.pem" -o "$tmp/check.bin" \
            "https://$tls_origin/1k.bin" || fail "$target: curl over HTTPS failed"
        cmp -s "$tmp/check.bin" "$tmp/www/1k.bin" || fail "$target: 1k.bin arrived changed (HTTPS)"
    done
    note "the 1 KiB file arrives unchanged over HTTPS through every HTTPS target," \
        "each certificate verified"
fi

# run_wrk SCENARIO TARGET REPEAT CONNECTIONS MODE FILE
# MODE: keep-alive, close, or pipeline (10 requests at once per connection).
run_wrk()
{
    local scenario="$1" target="$2" repeat="$3" connections="$4" mode="$5" file="$6"
    local threads=2 url request_target line script="$bench/absolute_uri.lua" option="$mode"
    [ "$connections" -lt 2 ] && threads=1
    if [ "$target" = direct ]; then
        url="http://$origin"
        request_target="/$file"
    else
        url="http://127.0.0.1:${proxy_port[$target]}"
        request_target="http://$origin/$file"
    fi
    if [ "$mode" = pipeline ]; then
        script="$bench/pipeline.lua"
        option=10
    fi
    reset_peak "$target"
    if [ "$target" = vesktor ]; then host_command vesktor "lateness reset"; fi
    line="$(timeout $((seconds + 30)) wrk -t "$threads" -c "$connections" -d "${seconds}s" \
        --timeout 5s -s "$script" "$url" -- "$request_target" "$origin" "$option" \
        2> "$tmp/wrk.err" | grep '^RESULT ')" ||
        fail "wrk gave no result for $scenario through $target"
    local peak lateness="-"
    peak="$(peak_kib "$target")"
    if [ "$target" = vesktor ]; then lateness="$(host_lateness vesktor)"; fi
    # wrk counts as errors broken connections, timeouts and statuses other than 2xx/3xx. For
    # Vesktor and the origin they make the run invalid. tinyproxy answers a keep-alive request
    # and then closes the connection without saying so, so wrk's next request on it fails (a
    # read error) and wrk reconnects: for the peers the errors are counted and shown.
    # Pipelined, a target breaks when it has errors or leaves requests unanswered beyond the
    # batch that each connection may still have under way when the run ends; the awk program
    # prints what was seen then.
    local broken
    broken="$(echo "$line" | awk -v s="$scenario" -v t="$target" -v r="$repeat" \
        -v peak="$peak" -v late="$lateness" -v c="$connections" -v out="$results" '
        {
            for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
            errors = v["connect_errors"] + v["read_errors"] + v["write_errors"] \
                     + v["status_errors"] + v["timeouts"]
            seconds = v["duration_us"] / 1e6
            if (!("p50_us" in v)) v["p50_us"] = v["p99_us"] = "-"
            printf "%s\t%s\t%s\t%.0f\t%s\t%s\t%.1f\t%s\t%d\t%s\n", s, t, r,
                   v["requests"] / seconds, v["p50_us"], v["p99_us"], v["bytes"] / seconds / 1e6,
                   peak, errors, late >> out
            if ("sent" in v) {
                unanswered = v["sent"] - v["requests"]
                if (errors > 0 || v["requests"] == 0 || unanswered > c * v["depth"])
                    printf "%d of %d pipelined requests answered, %d errors (connect %d, " \
                           "read %d, write %d, status %d, timeouts %d)\n", v["requests"],
                           v["sent"], errors, v["connect_errors"], v["read_errors"],
                           v["write_errors"], v["status_errors"], v["timeouts"]
            }
        }')"
    local errors
    errors="$(tail -n 1 "$results" | cut -f9)"
    if [ -n "$broken" ]; then
        if [ "$target" = vesktor ] || [ "$target" = direct ]; then
            if [ "$target" = vesktor ]; then
                broken+="; BENCH_SCENARIOS can leave the scenario out"
            fi
            fail "$scenario through $target breaks: $broken"
        fi
        printf '%s\t%s\t%s\t%s\n' "$scenario" "$target" "$repeat" "$broken" >> "$notes"
    elif [ "$errors" -ne 0 ] && { [ "$target" = vesktor ] || [ "$target" = direct ]; }; then
        fail "$scenario through $target: $errors errors ($line)"
    fi
}

# The download comes first: a process's peak resident size can only be reset to its present
# size, and what the 250-connection scenarios leave allocated would otherwise count as the
# download's.
wants download-256m &&
    note "256 MiB download, $repeats times per target, each checked with SHA-256"
for ((repeat = 1; repeat <= repeats; repeat++)); do
    wants download-256m || break
    for target in "${targets[@]}"; do
        rm -f "$tmp/download.bin"
        reset_peak "$target"
        line="$(curl_through "$target" --max-time 60 -o "$tmp/download.bin" \
            -w '%{http_code} %{size_download} %{time_total}' "http://$origin/256m.bin")" ||
            fail "$target: the 256 MiB download failed"
        peak="$(peak_kib "$target")"
        read -r status size total <<< "$line"
        [ "$status" = 200 ] || fail "$target: the 256 MiB download answered $status"
        sha="$(sha256sum < "$tmp/download.bin" | cut -d' ' -f1)"
        [ "$sha" = "$big_sha" ] || fail "$target: the 256 MiB download arrived changed ($size bytes)"
        awk -v t="$target" -v r="$repeat" -v size="$size" -v total="$total" -v peak="$peak" \
            'BEGIN { printf "download-256m\t%s\t%s\t-\t-\t-\t%.1f\t%s\t0\t-\n", t, r,
                     size / total / 1e6, peak }' >> "$results"
    done
done
rm -f "$tmp/download.bin"
wants download-256m && note "every download arrived byte for byte"

# Repeats alternate between the targets, so that a neighbour's load on this shared machine
# falls on all of them alike.
scenarios=(
    "ka-1 1 keep-alive 1k.bin"
    "ka-50 50 keep-alive 1k.bin"
    "ka-250 250 keep-alive 1k.bin"
    "close-1 1 close 1k.bin"
    "close-50 50 close 1k.bin"
    "close-250 250 close 1k.bin"
    "ka-50-100k 50 keep-alive 100k.bin"
    "pipeline-50 50 pipeline pipelined/1k.bin"
)
for entry in "${scenarios[@]}"; do
    read -r scenario connections mode file <<< "$entry"
    wants "$scenario" || continue
    note "$scenario: $connections connections, $mode, $file, ${seconds} s x $repeats per target"
    for ((repeat = 1; repeat <= repeats; repeat++)); do
        for target in "${targets[@]}"; do
            run_wrk "$scenario" "$target" "$repeat" "$connections" "$mode" "$file"
        done
    done
done

# run_hey SCENARIO TARGET REPEAT CONNECTIONS MODE: hey for BENCH_HTTPS_SECONDS on the 1 KiB file
# over TLS, through the target's proxy (CONNECT) or directly. MODE: keep-alive, or close (a new
# connection, so a new tunnel and TLS handshake, for every request). A run passes when every
# response is a 200 of 1024 bytes and hey reports no error; req/s counts the 200s only.
# hey itself does not check the certificates (curl did, above); they come from the bundle all
# the same. hey sends its Host header, port included, as the TLS server name (SNI), which
# Vesktor rightly refuses when it inspects: a server name holds no port. A browser sends no
# server name for an IP address; hey does the same when given "-host 127.0.0.1", and nginx
# answers whatever the Host header. Privoxy, though, connects to the inner request's Host (port
# 443 when it names none) rather than to CONNECT's target, so it gets the Host with its port.
https_flags="$tmp/https-flags.tsv"
: > "$https_flags"
run_hey()
{
    local scenario="$1" target="$2" repeat="$3" connections="$4" mode="$5"
    local host_header=127.0.0.1
    [[ "$target" == privoxy-* ]] && host_header="$tls_origin"
    local options=(-z "${https_seconds}s" -c "$connections" -t 10 -host "$host_header")
    local output peak lateness="-" problem
    [ "$mode" = close ] && options+=(-disable-keepalive)
    [ "$target" != direct ] && options+=(-x "http://127.0.0.1:${proxy_port[$target]}")
    reset_peak "$target"
    host_of "$target" > /dev/null && host_command "$target" "lateness reset"
    output="$(env -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
        SSL_CERT_FILE="$tmp/tls/bundle.pem" timeout $((https_seconds + 60)) \
        hey "${options[@]}" "https://$tls_origin/1k.bin" 2> "$tmp/hey.err")" ||
        fail "hey failed for $scenario through $target"
    echo "$output" > "$tmp/hey-$scenario-$target-$repeat.out"
    peak="$(peak_kib "$target")"
    host_of "$target" > /dev/null && lateness="$(host_lateness "$target")"
    # The summary's total time and size per request, the latency percentiles, and the status
    # code and error blocks ("  [200]	1234 responses", "  [17]	Get ...: error").
    problem="$(echo "$output" | awk -v s="$scenario" -v t="$target" -v r="$repeat" \
        -v peak="$peak" -v late="$lateness" -v out="$results" '
        /^ *Total:/ { total = $2 }
        /^ *Size\/request:/ { size = $2 }
        /^ *50% in/ { p50 = $3 * 1e6 }
        /^ *99% in/ { p99 = $3 * 1e6 }
        /^Status code distribution:/ { block = "status"; next }
        /^Error distribution:/ { block = "error"; next }
        /^ *\[[0-9]+\]/ {
            count = $2 + 0
            code = $1
            gsub(/[\[\]]/, "", code)
            if (block == "status" && code == "200") ok += count
            else if (block == "status") { other += count; codes = codes " " code "x" count }
            else if (block == "error") errors += code
        }
        END {
            if (total <= 0) { print "no summary from hey"; exit }
            printf "%s\t%s\t%s\t%.0f\t%s\t%s\t%.1f\t%s\t%d\t%s\n", s, t, r, ok / total,
                   p50 == "" ? "-" : sprintf("%.0f", p50), p99 == "" ? "-" : sprintf("%.0f", p99),
                   ok * 1024 / total / 1e6, peak, other + errors, late >> out
            if (ok == 0 || other > 0 || errors > 0 || size != 1024)
                printf "%d responses 200, %d others (status x count:%s), %d errors, " \
                       "%s bytes per response\n", ok, other, codes, errors, size
        }')"
    if [ -n "$problem" ]; then
        case "$target" in
        direct | vesktor-*) fail "$scenario through $target: $problem (hey's output:" \
            "$tmp/hey-$scenario-$target-$repeat.out; BENCH_KEEP_TMP=1 keeps it)" ;;
        *) printf '%s\t%s\t%s\t%s\n' "$scenario" "$target" "$repeat" "$problem" >> "$https_flags" ;;
        esac
    fi
}

https_scenarios=(
    "https-ka-50 50 keep-alive"
    "https-close-50 50 close"
    "https-ka-250 250 keep-alive"
)
for entry in "${https_scenarios[@]}"; do
    read -r scenario connections mode <<< "$entry"
    wants "$scenario" || continue
    note "$scenario: $connections connections, $mode, HTTPS, 1k.bin," \
        "${https_seconds} s x $repeats per target"
    for ((repeat = 1; repeat <= repeats; repeat++)); do
        for target in "${https_targets[@]}"; do
            run_hey "$scenario" "$target" "$repeat" "$connections" "$mode"
        done
    done
done

# The upload comes last: while a proxy holds a whole request body, its memory can stay high
# afterwards, and that would count as the other scenarios' growth. nginx stores the body in a
# file before it answers (WebDAV's PUT, bench/nginx.conf.in), so curl's time covers every byte
# reaching the origin, and the stored file is compared with the one sent. The received file is
# kept in place, emptied after each check, so that nginx answers 204 (replaced). "Expect:"
# is sent empty so that curl sends the body at once instead of waiting for "100 Continue".
wants upload-256m &&
    note "256 MiB upload (PUT), $repeats times per target, each checked with SHA-256"
received="$tmp/upload/received.bin"
for ((repeat = 1; repeat <= repeats; repeat++)); do
    wants upload-256m || break
    for target in "${targets[@]}"; do
        : > "$received"
        reset_peak "$target"
        line="$(curl_through "$target" --max-time 60 -X PUT -H 'Expect:' \
            --data-binary "@$tmp/www/256m.bin" -o /dev/null \
            -w '%{http_code} %{size_upload} %{time_total}' "http://$origin/upload")" ||
            fail "$target: the 256 MiB upload failed"
        peak="$(peak_kib "$target")"
        read -r status size total <<< "$line"
        [ "$status" = 204 ] || fail "$target: the 256 MiB upload answered $status"
        [ "$size" = 268435456 ] || fail "$target: curl sent $size bytes of the 256 MiB upload"
        sha="$(sha256sum < "$received" | cut -d' ' -f1)"
        [ "$sha" = "$big_sha" ] || fail "$target: the 256 MiB upload reached the origin" \
            "changed ($(stat -c %s "$received") bytes)"
        awk -v t="$target" -v r="$repeat" -v size="$size" -v total="$total" -v peak="$peak" \
            'BEGIN { printf "upload-256m\t%s\t%s\t-\t-\t-\t%.1f\t%s\t0\t-\n", t, r,
                     size / total / 1e6, peak }' >> "$results"
    done
done
: > "$received"
wants upload-256m && note "every upload reached the origin byte for byte"

# ---------------------------------------------------------------------------------------------
# Medians, the table (bench/report.awk) and the chart (bench/ratios.gp)

medians="$tmp/medians.tsv"
awk -F'\t' '
    function median(list,    n, a, i, j, x) {
        n = split(list, a, " ")
        for (i = 2; i <= n; i++) {           # insertion sort: a handful of values
            x = a[i]
            for (j = i - 1; j >= 1 && (a[j] + 0) > (x + 0); j--) a[j + 1] = a[j]
            a[j + 1] = x
        }
        if (a[1] == "-") return "-"
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    {
        key = $1 "\t" $2
        if (!(key in seen)) { seen[key] = 1; order[++count] = key }
        for (f = 4; f <= 10; f++) values[key, f] = values[key, f] " " $f
    }
    END {
        for (k = 1; k <= count; k++) {
            key = order[k]
            line = key
            for (f = 4; f <= 10; f++) line = line "\t" median(values[key, f])
            print line
        }
    }' "$results" > "$medians"
[ -n "${BENCH_RESULTS:-}" ] && cp "$medians" "$BENCH_RESULTS"

chart_data="$tmp/chart.tsv"
https_chart_data="$tmp/https-chart.tsv"
: > "$chart_data"
: > "$https_chart_data"
awk -v notes="$notes" -v flags="$https_flags" -v chart_data="$chart_data" \
    -v https_chart_data="$https_chart_data" -v baseline="${BENCH_BASELINE:-}" \
    -f "$bench/report.awk" "$medians"

note "measured in $((SECONDS - started_at)) s. MB = 10^6 bytes. RSS: the proxy's resident size" \
    "before any traffic (idle, VmRSS) and its peak during each scenario (VmHWM, reset to the" \
    "present size before each run; shared libraries included). errors: wrk's count per run." \
    "GUI ms: the worst lateness of a 10 ms timer on Vesktor's window thread during the run." \
    "pipeline-50: no latencies (see bench/pipeline.lua). HTTPS: hey's figures; errors are" \
    "responses other than 200 and hey's errors; req/s counts the 200s."

if [ -s "$chart_data" ]; then
    mkdir -p "$(dirname "$chart")"
    gnuplot -e "data = '$chart_data'; output = '$chart'" "$bench/ratios.gp" 2> "$tmp/gnuplot.err" ||
        fail "gnuplot could not draw the chart"
    note "chart: $chart"
fi
if [ -s "$https_chart_data" ]; then
    mkdir -p "$(dirname "$https_chart")"
    title="Vesktor inspecting HTTPS: requests per second as ratios (line: the goal)"
    gnuplot -e "data = '$https_chart_data'; output = '$https_chart'; logscale = 1" \
        -e "title_text = \"$title\"; bar_title = 'ratio'; level_title = 'ratio 1'; width = 1300" \
        "$bench/ratios.gp" 2> "$tmp/gnuplot.err" || fail "gnuplot could not draw the HTTPS chart"
    note "HTTPS chart: $https_chart"
fi
