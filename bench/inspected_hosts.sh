#!/usr/bin/env bash
# What inspecting many HTTPS hosts costs the test host: its TLS state per host is bounded in
# bytes (leaves for the newest 1,000 hosts, origin sessions within 8 MiB), so its resident size
# must level off however many hosts it meets.
#
# The hosts are IP literals 127.0.x.y (all of 127/8 is loopback on Linux), served by one nginx
# bound to 0.0.0.0 on a loopback port, and reached by curl through the test host with
# "Apply the rules to HTTPS" ticked. curl trusts only the proxy's CA and the proxy only the test
# CA made here (SSL_CERT_FILE), so every answer has been through inspection. Each case runs
# with two origin certificates: an ordinary one per host (its address only) and one large one
# of about 40 KB (every address and 400 DNS names) for all of them.
#
#   sequential  5,000 new hosts one after the other, one curl; resident size before any
#               traffic, after 1,000 hosts and after 5,000, and the median time to the first
#               byte of a new host (CONNECT, both handshakes, the request).
#   burst       250 new hosts at once (curl --parallel), twice: the peak over each burst
#               (VmHWM, reset before it) and the resident size 15 s after it, against the size
#               before the first burst; then the size once malloc_trim(0) has run in the host
#               (through gdb), which tells memory still in use from memory the C library's
#               allocator keeps after it was freed.
#
# Prints the figures of every run, the medians over BENCH_REPEATS runs (default 3), and a line
# per goal: growth <= 32 MiB (ordinary) and <= 48 MiB (large) after 1,000 and 5,000 hosts; a
# burst's growth <= 32 MiB and 15 s later within 8 MiB of before. Makes the Release build in
# build-bench/ first (BENCH_SKIP_BUILD=1 uses it as it is).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
repeats="${BENCH_REPEATS:-3}"
hosts=5000
burst=250

source "$here/scripts/packages.sh"
"$here/scripts/ensure-packages.sh" "${BUILD_PACKAGES[@]}" nginx curl gdb python3-cryptography
source "$here/bench/lib.sh"
bench_build

source "$here/tests/e2e/lib.sh"
e2e_init
export QT_LOGGING_RULES='qt.qpa.*=false'
# The proxy makes its CA once, in this run's data folder, and trusts the test CA only.
export XDG_DATA_HOME="$E2E_TMP/data"
export SSL_CERT_FILE="$E2E_TMP/tls/ca.pem"
proxy_ca="$XDG_DATA_HOME/vesktor/vesktor-ca.pem"

# Host i is 127.0.(1 + i / 250).(1 + i % 250), as host_certificates.py names them; the bursts
# take the hosts after the sequential ones.
address() { echo "127.0.$((1 + $1 / 250)).$((1 + $1 % 250))"; }
all_hosts=$((hosts + 2 * burst))
e2e_note "certificates for $all_hosts hosts"
/usr/bin/python3 "$here/bench/host_certificates.py" "$E2E_TMP/tls" "$all_hosts" 400

mkdir -p "$E2E_TMP/www"
head -c 1024 /dev/urandom > "$E2E_TMP/www/1k.bin"
# One origin on every loopback address: a port with the ordinary certificates, picked by the
# address the connection came to, and one with the large certificate.
small_port="$(e2e_pick_port)"
large_port="$(e2e_pick_port)"
[ "$small_port" != "$large_port" ] || e2e_fail "picked the same port twice"
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
cat > "$E2E_TMP/nginx.conf" << EOF
$user_line
daemon off;
worker_processes 1;
pid $E2E_TMP/nginx.pid;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $E2E_TMP/nginx-body;
    proxy_temp_path $E2E_TMP/nginx-proxy;
    fastcgi_temp_path $E2E_TMP/nginx-fastcgi;
    uwsgi_temp_path $E2E_TMP/nginx-uwsgi;
    scgi_temp_path $E2E_TMP/nginx-scgi;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_certificate_key $E2E_TMP/tls/origin.key;
    root $E2E_TMP/www;
    server {
        listen 0.0.0.0:$small_port ssl backlog=1024;
        ssl_certificate $E2E_TMP/tls/small/\$server_addr.pem;
    }
    server {
        listen 0.0.0.0:$large_port ssl backlog=1024;
        ssl_certificate $E2E_TMP/tls/large.pem;
    }
}
EOF
nginx -p "$E2E_TMP" -c "$E2E_TMP/nginx.conf" -e "$E2E_TMP/nginx-error.log" < /dev/null \
    > "$E2E_TMP/nginx.out" 2>&1 &
NGINX_PID=$!
e2e_watch_nginx
e2e_wait_for 100 "nginx to answer" e2e_port_answers "$large_port"

# curl_config FIRST COUNT PORT: a curl config fetching 1k.bin from hosts FIRST.. in turn.
curl_config()
{
    local i
    for ((i = $1; i < $1 + $2; i++)); do
        printf 'url = "https://%s:%s/1k.bin"\noutput = "/dev/null"\n' "$(address "$i")" "$3"
    done
}

# fetch CONFIG OUT [CURL OPTION...]: every transfer of CONFIG through the proxy, trusting only
# its CA; a line "status seconds_to_first_byte" per transfer in OUT. Fails unless all are 200.
fetch()
{
    local config="$1" out="$2" expected
    shift 2
    expected="$(grep -c '^url' "$config")"
    # 60 s a transfer, and 20 minutes for the whole list at most.
    timeout 1200 env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy \
        -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time 60 -x "http://127.0.0.1:$PROXY_PORT" --cacert "$proxy_ca" \
        -w '%{http_code} %{time_starttransfer}\n' "$@" -K "$config" > "$out" \
        2> "$out.err" || true
    [ "$(grep -c '^200 ' "$out")" -eq "$expected" ] || {
        head -n 5 "$out.err" >&2
        e2e_fail "$(grep -c '^200 ' "$out") of $expected transfers were answered 200"
    }
}

# Resets the host's peak resident size (VmHWM) to its size now.
reset_peak() { echo 5 > "/proc/$HOST_PID/clear_refs"; }
peak_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$HOST_PID/status"; }

for kind in ordinary large; do
    port="$small_port"
    [ "$kind" = large ] && port="$large_port"
    curl_config 0 1000 "$port" > "$E2E_TMP/first.curl"
    curl_config 1000 $((hosts - 1000)) "$port" > "$E2E_TMP/rest.curl"
    curl_config "$hosts" "$burst" "$port" > "$E2E_TMP/burst1.curl"
    curl_config $((hosts + burst)) "$burst" "$port" > "$E2E_TMP/burst2.curl"
    : > "$E2E_TMP/$kind.sequential" && : > "$E2E_TMP/$kind.burst"
    for ((repeat = 1; repeat <= repeats; repeat++)); do
        e2e_start_host --inspect > /dev/null
        [ -s "$proxy_ca" ] || e2e_fail "the proxy made no CA at $proxy_ca"
        idle="$(rss_kib)"
        load="$(load_average)"
        fetch "$E2E_TMP/first.curl" "$E2E_TMP/first.out"
        after1000="$(rss_kib)"
        fetch "$E2E_TMP/rest.curl" "$E2E_TMP/rest.out"
        after5000="$(rss_kib)"
        ttfb1000="$(cut -d' ' -f2 "$E2E_TMP/first.out" | median)"
        ttfb5000="$(cut -d' ' -f2 "$E2E_TMP/first.out" "$E2E_TMP/rest.out" | median)"
        e2e_stop_host
        echo "$idle $after1000 $after5000 $ttfb1000 $ttfb5000" >> "$E2E_TMP/$kind.sequential"
        e2e_note "$kind, run $repeat: resident $idle -> $after1000 (1,000 hosts) -> $after5000 KiB (5,000); first byte median $ttfb1000 s (first 1,000), $ttfb5000 s (all); load $load"

        e2e_start_host --inspect > /dev/null
        # One host first, so that the trust store's loading is not counted as the bursts'.
        curl_config "$((hosts - 1))" 1 "$port" > "$E2E_TMP/warm.curl"
        fetch "$E2E_TMP/warm.curl" "$E2E_TMP/warm.out"
        before="$(rss_kib)"
        line="$before"
        for round in 1 2; do
            reset_peak
            fetch "$E2E_TMP/burst$round.curl" "$E2E_TMP/burst$round.out" \
                --parallel --parallel-max "$burst" --parallel-immediate
            peak="$(peak_kib)"
            # The measurement itself: what is still resident a while after the burst.
            sleep 15
            line="$line $peak $(rss_kib)"
        done
        # Whether what stays resident is still in use or only kept by the C library's
        # allocator: the size once malloc_trim(0) has given the allocator's free pages back.
        gdb -p "$HOST_PID" -batch -ex 'call (int) malloc_trim(0)' > /dev/null 2>&1 ||
            e2e_fail "gdb could not call malloc_trim in the test host"
        line="$line $(rss_kib)"
        e2e_stop_host
        connections="$(sed -n 's/^peak connections //p' "$E2E_TMP/host.out")"
        echo "$line $connections" >> "$E2E_TMP/$kind.burst"
        e2e_note "$kind, run $repeat: bursts (before, peak, 15 s later, peak, 15 s later, trimmed; KiB; peak connections): $line $connections"
    done
done

# runs_median FILE EXPRESSION: the median over the runs in FILE of an awk expression of a run's
# fields, in MiB when it is a size.
runs_median() { awk "{print $2}" "$1" | median; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
row() { printf '%-46s %10s %10s\n' "$@"; }
both_mib() { row "$1" "$(mib "$(runs_median "$E2E_TMP/ordinary.$2" "$3")")" \
    "$(mib "$(runs_median "$E2E_TMP/large.$2" "$3")")"; }
ms() { awk -v s="$1" 'BEGIN {printf "%.1f", s * 1000}'; }
both_ms() { row "$1" "$(ms "$(runs_median "$E2E_TMP/ordinary.$2" "$3")")" \
    "$(ms "$(runs_median "$E2E_TMP/large.$2" "$3")")"; }
echo
row "inspected HTTPS hosts, medians of $repeats runs" ordinary large
both_mib "resident before traffic, MiB" sequential '$1'
both_mib "growth after 1,000 hosts, MiB" sequential '$2 - $1'
both_mib "growth after 5,000 hosts, MiB" sequential '$3 - $1'
both_ms "first byte of a new host, ms (first 1,000)" sequential '$4'
both_ms "first byte of a new host, ms (all 5,000)" sequential '$5'
both_mib "bursts: resident before, MiB" burst '$1'
both_mib "growth over burst 1 (peak), MiB" burst '$2 - $1'
both_mib "15 s after burst 1, against before, MiB" burst '$3 - $1'
both_mib "growth over burst 2 (peak), MiB" burst '$4 - $1'
both_mib "15 s after burst 2, against before, MiB" burst '$5 - $1'
both_mib "then after malloc_trim(0), against before, MiB" burst '$6 - $1'
row "peak connections" "$(runs_median "$E2E_TMP/ordinary.burst" '$7')" \
    "$(runs_median "$E2E_TMP/large.burst" '$7')"
echo
for kind in ordinary large; do
    limit=32
    [ "$kind" = large ] && limit=48
    for count in 1,000 5,000; do
        field='$2 - $1'
        [ "$count" = 5,000 ] && field='$3 - $1'
        growth="$(runs_median "$E2E_TMP/$kind.sequential" "$field")"
        echo "goal: growth after $count hosts, $kind certificate, <= $limit MiB: $(mib "$growth") MiB, $(verdict "$growth <= $limit * 1024")"
    done
    # Both bursts of every run against the size before the first: the worst decides.
    awk -v kind="$kind" '{
        for (f = 2; f <= 4; f += 2) {
            grow = $f - $1; if (grow > worst_grow) worst_grow = grow
            left = $(f + 1) - $1; if (left < 0) left = -left; if (left > worst_left) worst_left = left
        }
    } END {
        printf "goal: a burst of 250 hosts, %s certificate, grows <= 32 MiB: worst %.1f MiB, %s\n", kind, worst_grow / 1024, worst_grow <= 32768 ? "met" : "NOT met"
        printf "goal: 15 s after a burst, %s certificate, within 8 MiB of before: worst %.1f MiB, %s\n", kind, worst_left / 1024, worst_left <= 8192 ? "met" : "NOT met"
    }' "$E2E_TMP/$kind.burst"
done
