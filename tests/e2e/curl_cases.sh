#!/usr/bin/env bash
# curl through the proxy to nginx. One case per run:
#   files              a 1 MiB and a 100 MiB file arrive byte for byte
#   redirect           a 301 arrives as the origin sent it (status, Location, body)
#   chunked            a chunked, compressed response arrives unchanged, chunk framing included
#   post               a 300 KiB POST body reaches the origin whole
#   chunked-upload     a 3 MB body of unknown length (chunked, curl waits for 100 Continue)
#                      reaches the origin whole
#   pipelining         wrk sends ten requests at once on each connection; every one is
#                      answered, and each reaches nginx as a request of its own, rewritten
#   headers-default    default rules: the request line is a path; User-Agent, Cookie, Referer,
#                      From, Date and Proxy-Connection never arrive; the log records the
#                      browser's header lines
#   headers-add        "Add these headers:": Via: Vesktor 1.0 arrives
#   headers-change     "Replace these headers:": the User-Agent arrives replaced
#   headers-allow-only "Only allow these headers.": only allowed header lines arrive
#   https              through a CONNECT tunnel to an HTTPS origin: a page and a 10 MiB file
#                      arrive byte for byte, the origin sees TLS and the client's own header
#                      lines, the proxy's log records the CONNECT; a refused target gives 502
#   https-inspect      with --inspect, curl trusting the proxy's CA and the proxy trusting the
#                      origin's certificate: the page arrives and the default rules apply inside
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

case_name="${1:?usage: curl_cases.sh CASE}"
e2e_require_tools curl nginx sha256sum cmp gzip
e2e_init

# Headers a browser might send that the default rules must keep from the origin, plus a probe
# header that no rule names and Accept, which the allow-list passes.
send_headers=(
    -H "User-Agent: e2e-agent/1.0"
    -H "Cookie: session=e2e"
    -H "Referer: http://referrer.example/page"
    -H "From: tester@example.com"
    -H "Date: Tue, 15 Nov 1994 08:12:31 GMT"
    -H "Proxy-Connection: keep-alive"
    -H "X-E2E-Probe: probe"
    -H "Accept: text/html"
)

same_hash()
{
    local expected actual
    expected="$(sha256sum < "$1" | cut -d' ' -f1)"
    actual="$(sha256sum < "$2" | cut -d' ' -f1)"
    [ "$expected" = "$actual" ] || e2e_fail "$3: sha256 $actual differs from the origin's $expected"
}

header_value()
{
    # The value of header $2 in the response header file $1 (the last response's), without CR.
    tr -d '\r' < "$1" | sed -n "s/^$2: *//Ip" | tail -n 1
}

status_line() { head -n 1 "$1" | tr -d '\r'; }

case "$case_name" in
files)
    E2E_CURL_TIME=120
    e2e_make_docroot big
    e2e_start_nginx
    e2e_start_host
    for name in file-1m.bin file-100m.bin; do
        code="$(e2e_curl_proxy -o "$E2E_TMP/$name" -w '%{http_code}' \
            "http://127.0.0.1:$NGINX_PORT/$name")"
        [ "$code" = 200 ] || e2e_fail "$name: status $code through the proxy"
        same_hash "$E2E_TMP/www/$name" "$E2E_TMP/$name" "$name"
        e2e_note "$name arrived whole ($(stat -c %s "$E2E_TMP/$name") bytes)"
        e2e_access_line "GET /$name HTTP/1.1" > /dev/null
    done
    ;;
redirect)
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    url="http://127.0.0.1:$NGINX_PORT/moved"
    e2e_curl_direct -D "$E2E_TMP/direct.h" -o "$E2E_TMP/direct.b" "$url"
    e2e_curl_proxy -D "$E2E_TMP/proxy.h" -o "$E2E_TMP/proxy.b" "$url"
    [ "$(status_line "$E2E_TMP/direct.h")" = "HTTP/1.1 301 Moved Permanently" ] ||
        e2e_fail "the origin did not answer 301 directly: $(status_line "$E2E_TMP/direct.h")"
    [ "$(status_line "$E2E_TMP/proxy.h")" = "HTTP/1.1 301 Moved Permanently" ] ||
        e2e_fail "through the proxy: $(status_line "$E2E_TMP/proxy.h")"
    location="$(header_value "$E2E_TMP/proxy.h" Location)"
    if [ -z "$location" ] || [ "$location" != "$(header_value "$E2E_TMP/direct.h" Location)" ]; then
        e2e_fail "Location through the proxy is '$location'"
    fi
    cmp "$E2E_TMP/direct.b" "$E2E_TMP/proxy.b" || e2e_fail "the redirect's body differs"
    e2e_note "301 to $location arrived unchanged"
    ;;
chunked)
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    url="http://127.0.0.1:$NGINX_PORT/chunked/text.txt"
    # --raw keeps the chunk framing, so the comparison covers the bytes on the wire.
    e2e_curl_direct --raw -H 'Accept-Encoding: gzip' -D "$E2E_TMP/direct.h" \
        -o "$E2E_TMP/direct.b" "$url"
    [ "$(header_value "$E2E_TMP/direct.h" Transfer-Encoding)" = chunked ] ||
        e2e_fail "the origin did not send a chunked response; the test setup is wrong"
    e2e_curl_proxy --raw -H 'Accept-Encoding: gzip' -D "$E2E_TMP/proxy.h" \
        -o "$E2E_TMP/proxy.b" "$url"
    [ "$(status_line "$E2E_TMP/proxy.h")" = "HTTP/1.1 200 OK" ] ||
        e2e_fail "through the proxy: $(status_line "$E2E_TMP/proxy.h")"
    [ "$(header_value "$E2E_TMP/proxy.h" Transfer-Encoding)" = chunked ] ||
        e2e_fail "the response through the proxy is not chunked"
    cmp "$E2E_TMP/direct.b" "$E2E_TMP/proxy.b" || e2e_fail "the chunked body differs"
    # And decoded, it is the file.
    e2e_curl_proxy -H 'Accept-Encoding: gzip' -o "$E2E_TMP/proxy.gz" "$url"
    gzip -dc "$E2E_TMP/proxy.gz" > "$E2E_TMP/proxy.txt" || e2e_fail "the body is not gzip"
    cmp "$E2E_TMP/www/chunked/text.txt" "$E2E_TMP/proxy.txt" ||
        e2e_fail "the decoded body differs from the file"
    e2e_note "chunked body of $(stat -c %s "$E2E_TMP/proxy.b") bytes arrived unchanged"
    ;;
post)
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    head -c 307200 /dev/urandom > "$E2E_TMP/body.bin"
    # "Expect:" keeps curl from waiting for a 100 Continue before sending the body.
    code="$(e2e_curl_proxy -o /dev/null -w '%{http_code}' -H 'Expect:' \
        -H 'Content-Type: application/octet-stream' --data-binary "@$E2E_TMP/body.bin" \
        "http://127.0.0.1:$NGINX_PORT/post/upload.bin")"
    [ "$code" = 201 ] || e2e_fail "POST through the proxy answered $code, not 201"
    line="$(e2e_access_line "POST /post/upload.bin HTTP/1.1")"
    e2e_expect_field "$line" content_length 307200
    cmp "$E2E_TMP/body.bin" "$E2E_TMP/uploads/store/upload.bin" ||
        e2e_fail "the body the origin stored differs from the one sent"
    e2e_note "a 307200-byte POST body arrived whole"
    ;;
chunked-upload)
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    head -c 3000000 /dev/urandom > "$E2E_TMP/body.bin"
    # With Transfer-Encoding: chunked curl also sends "Expect: 100-continue" and waits for the
    # origin's "100 Continue" before the body.
    code="$(e2e_curl_proxy -o /dev/null -w '%{http_code}' -X PUT -H 'Transfer-Encoding: chunked' \
        --data-binary "@$E2E_TMP/body.bin" "http://127.0.0.1:$NGINX_PORT/store/chunked.bin")"
    [ "$code" = 201 ] || e2e_fail "the chunked PUT through the proxy answered $code, not 201"
    e2e_access_line "PUT /store/chunked.bin HTTP/1.1" > /dev/null
    cmp "$E2E_TMP/body.bin" "$E2E_TMP/uploads/store/chunked.bin" ||
        e2e_fail "the body the origin stored differs from the one sent"
    e2e_note "a 3000000-byte chunked upload arrived whole"
    ;;
pipelining)
    e2e_require_tools wrk
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    result="$(timeout 60 wrk -t 1 -c 4 -d 1s -s "$E2E_DIR/../../bench/pipeline.lua" \
        "http://127.0.0.1:$PROXY_PORT" -- "http://127.0.0.1:$NGINX_PORT/index.html" \
        "127.0.0.1:$NGINX_PORT" 10 | grep '^RESULT ')" || e2e_fail "wrk gave no result"
    e2e_note "$result"
    value() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" <<< "$result"; }
    answered="$(value requests)"
    sent="$(value sent)"
    errors=$(($(value connect_errors) + $(value read_errors) + $(value write_errors) +
        $(value status_errors) + $(value timeouts)))
    [ "$errors" -eq 0 ] || e2e_fail "$errors errors: $result"
    [ "$answered" -gt 100 ] || e2e_fail "only $answered requests answered"
    # The batches still on their way when the run ends (at most one per connection) are the
    # only requests left unanswered.
    [ $((sent - answered)) -le 40 ] || e2e_fail "$answered of $sent pipelined requests answered"
    # Each request reached nginx on its own, as a path: none travelled as another's body.
    logged="$(grep -c '^GET /index.html HTTP/1.1 ' "$E2E_TMP/access.log")"
    [ "$logged" -ge "$answered" ] || e2e_fail "nginx logged $logged requests for $answered answers"
    grep -q '^GET http' "$E2E_TMP/access.log" && e2e_fail "a request reached nginx unrewritten"
    e2e_note "$answered of $sent pipelined requests answered in order, each rewritten"
    ;;
headers-*)
    mode="${case_name#headers-}"
    host_options=()
    # What the origin must see for each header: default rules first.
    ua=- cookie=- referer=- from=- date=- via=- probe=probe accept=text/html
    case "$mode" in
    default) host_options=(--log "$E2E_TMP/proxy-log.txt") ;;
    add)
        host_options=(--add)
        via="Vesktor 1.0"
        ;;
    change)
        # Without removal, so that the replaced User-Agent is not dropped afterwards.
        host_options=(--change --no-remove)
        ua="Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)"
        cookie="session=e2e" referer="http://referrer.example/page"
        from="tester@example.com" date="Tue, 15 Nov 1994 08:12:31 GMT"
        ;;
    allow-only)
        # Without removal, so that only the allow-list keeps headers away.
        host_options=(--allow-only --no-remove)
        probe=-
        ;;
    *) e2e_fail "unknown case $case_name" ;;
    esac
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host "${host_options[@]}"

    # Sent directly, every header is in the log: the log format records them.
    e2e_curl_direct -o /dev/null "${send_headers[@]}" \
        "http://127.0.0.1:$NGINX_PORT/index.html?direct-$mode"
    line="$(e2e_access_line "GET /index.html?direct-$mode HTTP/1.1")"
    e2e_expect_field "$line" ua "e2e-agent/1.0"
    e2e_expect_field "$line" cookie "session=e2e"
    e2e_expect_field "$line" proxy_connection "keep-alive"

    code="$(e2e_curl_proxy -o "$E2E_TMP/page.html" -w '%{http_code}' "${send_headers[@]}" \
        "http://127.0.0.1:$NGINX_PORT/index.html?proxied-$mode")"
    [ "$code" = 200 ] || e2e_fail "status $code through the proxy"
    cmp "$E2E_TMP/www/index.html" "$E2E_TMP/page.html" || e2e_fail "the page differs"
    # The request line arrives with the path alone as its target.
    line="$(e2e_access_line "?proxied-$mode ")"
    case "$line" in
    "GET /index.html?proxied-$mode HTTP/1.1 |"*) ;;
    *) e2e_fail "the request line did not arrive as a path: $line" ;;
    esac
    e2e_expect_field "$line" ua "$ua"
    e2e_expect_field "$line" cookie "$cookie"
    e2e_expect_field "$line" referer "$referer"
    e2e_expect_field "$line" from "$from"
    e2e_expect_field "$line" date "$date"
    e2e_expect_field "$line" via "$via"
    e2e_expect_field "$line" proxy_connection -
    e2e_expect_field "$line" probe "$probe"
    e2e_expect_field "$line" accept "$accept"
    e2e_note "origin saw: $line"

    if [ "$mode" = default ]; then
        e2e_stop_host
        log="$E2E_TMP/proxy-log.txt"
        grep -q $'\tVesktor Started\r$' "$log" || e2e_fail "no start entry in the proxy's log"
        grep -q $'\tNew Request Received From\t127.0.0.1\r$' "$log" ||
            e2e_fail "no request entry for 127.0.0.1 in the proxy's log"
        for header in "User-Agent: e2e-agent/1.0" "Cookie: session=e2e" \
            "Proxy-Connection: keep-alive" "X-E2E-Probe: probe"; do
            grep -qF $'\t\t\t    '"$header"$'\r' "$log" ||
                e2e_fail "the proxy's log lacks the header line '$header'"
        done
        grep -q $'\tVesktor Stopped\r$' "$log" || e2e_fail "no stop entry in the proxy's log"
    fi
    ;;
https-inspect)
    e2e_require_tools openssl
    e2e_make_tls_docroot
    e2e_start_nginx tls
    # The proxy makes its CA in this run's data folder and trusts nginx's certificate only.
    XDG_DATA_HOME="$E2E_TMP/data" XDG_CONFIG_HOME="$E2E_TMP/config" \
        SSL_CERT_FILE="$E2E_TMP/tls/cert.pem" e2e_start_host --inspect --log "$E2E_TMP/proxy-log.txt"
    proxy_ca="$E2E_TMP/data/vesktor/vesktor-ca.pem"
    [ -s "$proxy_ca" ] || e2e_fail "the proxy made no CA at $proxy_ca"
    # curl trusts the proxy's CA only: the page can only arrive through the proxy's TLS.
    e2e_curl_proxy --cacert "$proxy_ca" -D "$E2E_TMP/proxy.h" -o "$E2E_TMP/proxy.b" \
        "${send_headers[@]}" "https://localhost:$TLS_PORT/index.html?inspected"
    [ "$(status_line "$E2E_TMP/proxy.h")" = "HTTP/1.1 200 Connection established" ] ||
        e2e_fail "the proxy answered CONNECT with: $(status_line "$E2E_TMP/proxy.h")"
    [ "$(tr -d '\r' < "$E2E_TMP/proxy.h" | grep '^HTTP/' | tail -n 1)" = "HTTP/1.1 200 OK" ] ||
        e2e_fail "the origin's status inside the tunnel: $(grep '^HTTP/' "$E2E_TMP/proxy.h")"
    cmp "$E2E_TMP/www-tls/index.html" "$E2E_TMP/proxy.b" || e2e_fail "the page differs"

    # nginx got the request over TLS with the default Remove list applied.
    line="$(e2e_access_line "GET /index.html?inspected HTTP/1.1")"
    e2e_expect_field "$line" scheme https
    for name in ua cookie referer from date; do
        e2e_expect_field "$line" "$name" -
    done
    e2e_expect_field "$line" probe probe
    e2e_expect_field "$line" status 200
    e2e_note "origin saw: $line"

    # The proxy logged the request inside the tunnel with curl's own header lines.
    e2e_stop_host
    grep -qF $'\t\t\t    User-Agent: e2e-agent/1.0\r' "$E2E_TMP/proxy-log.txt" ||
        e2e_fail "the proxy's log lacks the User-Agent line of the request inside the tunnel"
    ;;
https)
    e2e_require_tools openssl
    e2e_make_tls_docroot
    e2e_start_nginx tls
    e2e_start_host --log "$E2E_TMP/proxy-log.txt"
    # The origin's certificate is checked against the one made for this run, so what arrives
    # can only have come from nginx, end to end encrypted through the tunnel.
    tls=(--cacert "$E2E_TMP/tls/cert.pem")
    base="https://localhost:$TLS_PORT"

    e2e_curl_direct "${tls[@]}" -D "$E2E_TMP/direct.h" -o "$E2E_TMP/direct.b" \
        "${send_headers[@]}" "$base/index.html?direct"
    e2e_curl_proxy "${tls[@]}" -D "$E2E_TMP/proxy.h" -o "$E2E_TMP/proxy.b" \
        "${send_headers[@]}" "$base/index.html?proxied"
    # curl writes the proxy's answer to CONNECT first, then the origin's response.
    [ "$(status_line "$E2E_TMP/proxy.h")" = "HTTP/1.1 200 Connection established" ] ||
        e2e_fail "the proxy answered CONNECT with: $(status_line "$E2E_TMP/proxy.h")"
    [ "$(tr -d '\r' < "$E2E_TMP/proxy.h" | grep '^HTTP/' | tail -n 1)" = "HTTP/1.1 200 OK" ] ||
        e2e_fail "the origin's status through the tunnel: $(grep '^HTTP/' "$E2E_TMP/proxy.h")"
    cmp "$E2E_TMP/direct.b" "$E2E_TMP/proxy.b" ||
        e2e_fail "the page through the tunnel differs from the direct fetch"
    cmp "$E2E_TMP/www-tls/index.html" "$E2E_TMP/proxy.b" || e2e_fail "the page differs"

    # Inside the tunnel no header rule applies: every header line curl sent arrives, over TLS.
    line="$(e2e_access_line "GET /index.html?proxied HTTP/1.1")"
    e2e_expect_field "$line" scheme https
    case "$line" in
    *" | tls=TLSv1."[23]*) ;;
    *) e2e_fail "the request did not arrive over TLS 1.2 or 1.3: $line" ;;
    esac
    e2e_expect_field "$line" ua "e2e-agent/1.0"
    e2e_expect_field "$line" cookie "session=e2e"
    e2e_expect_field "$line" referer "http://referrer.example/page"
    e2e_expect_field "$line" from "tester@example.com"
    e2e_expect_field "$line" date "Tue, 15 Nov 1994 08:12:31 GMT"
    e2e_expect_field "$line" proxy_connection "keep-alive"
    e2e_expect_field "$line" probe probe
    e2e_expect_field "$line" status 200
    e2e_note "origin saw: $line"

    # A 10 MiB body, and a target given as an IPv4 address (the certificate names it too).
    E2E_CURL_TIME=60
    code="$(e2e_curl_proxy "${tls[@]}" -o "$E2E_TMP/file-10m.bin" -w '%{http_code}' \
        "https://127.0.0.1:$TLS_PORT/file-10m.bin")"
    [ "$code" = 200 ] || e2e_fail "file-10m.bin: status $code through the tunnel"
    same_hash "$E2E_TMP/www-tls/file-10m.bin" "$E2E_TMP/file-10m.bin" file-10m.bin
    line="$(e2e_access_line "GET /file-10m.bin HTTP/1.1")"
    e2e_expect_field "$line" scheme https
    e2e_note "file-10m.bin arrived whole ($(stat -c %s "$E2E_TMP/file-10m.bin") bytes)"

    # A target port on which nothing listens: the proxy's own answer, 502 with its page.
    closed_port="$(e2e_pick_port)"
    status=0
    env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
        -u no_proxy -u NO_PROXY curl -sS --max-time "$E2E_CURL_TIME" \
        -x "http://127.0.0.1:$PROXY_PORT" "${tls[@]}" -D "$E2E_TMP/refused.h" -o /dev/null \
        "https://localhost:$closed_port/" 2> "$E2E_TMP/refused.err" || status=$?
    [ "$status" -ne 0 ] || e2e_fail "curl reached https://localhost:$closed_port/ through the proxy"
    [ "$(status_line "$E2E_TMP/refused.h")" = "HTTP/1.1 502 Bad Gateway" ] ||
        e2e_fail "CONNECT to a refused port was answered: $(status_line "$E2E_TMP/refused.h")"
    e2e_note "CONNECT to refused port $closed_port: $(status_line "$E2E_TMP/refused.h"); curl exit $status: $(tr '\n' ' ' < "$E2E_TMP/refused.err")"
    # The same CONNECT sent by hand: the answer is a whole response, the page its body. The
    # inner script gets its values as arguments.
    # shellcheck disable=SC2016
    e2e_detached timeout -k 2 10 bash -c 'exec 3<> "/dev/tcp/127.0.0.1/$1" &&
        printf "CONNECT localhost:%s HTTP/1.1\r\nHost: localhost:%s\r\n\r\n" "$2" "$2" >&3 &&
        cat <&3' refused "$PROXY_PORT" "$closed_port" > "$E2E_TMP/refused.raw" ||
        e2e_fail "no complete answer to CONNECT localhost:$closed_port (exit code $?)"
    sed -n '1,/^\r$/p' "$E2E_TMP/refused.raw" | tr -d '\r' > "$E2E_TMP/refused.raw.h"
    sed '1,/^\r$/d' "$E2E_TMP/refused.raw" > "$E2E_TMP/refused.raw.b"
    [ "$(status_line "$E2E_TMP/refused.raw.h")" = "HTTP/1.1 502 Bad Gateway" ] ||
        e2e_fail "CONNECT by hand was answered: $(head -c 300 "$E2E_TMP/refused.raw")"
    [ "$(header_value "$E2E_TMP/refused.raw.h" Content-Type)" = text/html ] ||
        e2e_fail "the 502 is not text/html: $(cat "$E2E_TMP/refused.raw.h")"
    [ "$(header_value "$E2E_TMP/refused.raw.h" Connection)" = close ] ||
        e2e_fail "the 502 lacks Connection: close: $(cat "$E2E_TMP/refused.raw.h")"
    [ "$(header_value "$E2E_TMP/refused.raw.h" Content-Length)" = "$(stat -c %s "$E2E_TMP/refused.raw.b")" ] ||
        e2e_fail "the 502's Content-Length does not match its $(stat -c %s "$E2E_TMP/refused.raw.b")-byte body"
    grep -qF "Error Number:" "$E2E_TMP/refused.raw.b" || e2e_fail "the 502's body is not the error page"
    e2e_note "the 502's page reads: $(sed -e 's/<[^>]*>/ /g' "$E2E_TMP/refused.raw.b" | tr -s ' \r\n' ' ')"

    e2e_stop_host
    log="$E2E_TMP/proxy-log.txt"
    entries="$(grep -c $'\tNew Request Received From\t127.0.0.1\r$' "$log" || true)"
    [ "$entries" -ge 3 ] || e2e_fail "the proxy's log has $entries request entries, expected 3"
    # The log records each CONNECT's header lines; Host names the tunnel's target.
    for target in "localhost:$TLS_PORT" "127.0.0.1:$TLS_PORT" "localhost:$closed_port"; do
        grep -qF $'\t\t\t    '"Host: $target"$'\r' "$log" ||
            e2e_fail "the proxy's log lacks the CONNECT header line 'Host: $target'"
    done
    # The header lines sent inside the tunnel are encrypted: the proxy never sees them.
    if grep -qF "X-E2E-Probe" "$log"; then
        e2e_fail "a header line from inside the tunnel is in the proxy's log"
    fi
    ;;
*)
    e2e_fail "unknown case $case_name"
    ;;
esac

e2e_stop_host
echo "PASSED: $case_name"
