#!/usr/bin/env bash
# Headless Chromium through the proxy. One case per run:
#   page        the page loads through the proxy with its script and every image, fetched on
#               more than one browser connection at a time
#   error-page  a host name that cannot be resolved, on the default port, shows the proxy's
#               error page; what Chromium shows for a refused non-default port is printed
#   https       an https:// page from a local TLS origin loads through a CONNECT tunnel with
#               its image; the origin sees Chromium's own header lines, the proxy logs the
#               CONNECT requests; what Chromium shows for a refused tunnel target is printed
#   https-inspect with --inspect and the proxy's CA in Chromium's NSS database: the page loads
#               with its image, and nginx sees neither Chromium's User-Agent nor its cookie
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

case_name="${1:?usage: chromium_cases.sh CASE}"
e2e_require_tools chromium nginx curl timeout
e2e_init

# dump_dom URL FILE [FLAG...]: loads URL through the proxy and writes the resulting DOM to
# FILE. Chromium's own exit status is not judged: the DOM is.
dump_dom()
{
    local url="$1" file="$2"
    shift 2
    mkdir -p "$E2E_TMP/chromium-home"
    e2e_detached env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY -u no_proxy \
        -u NO_PROXY HOME="$E2E_TMP/chromium-home" \
        timeout -k 5 30 chromium --headless --no-sandbox --disable-gpu --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --disable-quic --disable-dev-shm-usage --user-data-dir="$E2E_TMP/chromium-profile" \
        --proxy-server="http://127.0.0.1:$PROXY_PORT" --proxy-bypass-list="<-loopback>" \
        "$@" --dump-dom "$url" > "$file" 2> "$file.err" ||
        e2e_note "chromium exited with status $? for $url"
}

dom_has()
{
    grep -qF -- "$2" "$1" || {
        echo "----- DOM of $3 -----" >&2
        head -c 3000 "$1" >&2
        echo >&2
        e2e_show_file "$1.err" "chromium stderr"
        e2e_fail "the DOM of $3 lacks '$2'"
    }
}

case "$case_name" in
page)
    e2e_make_docroot
    e2e_start_nginx
    e2e_start_host
    url="http://127.0.0.1:$NGINX_PORT/index.html"
    dump_dom "$url" "$E2E_TMP/page.dom"
    dom_has "$E2E_TMP/page.dom" "<h1>Origin page</h1>" "$url"
    dom_has "$E2E_TMP/page.dom" "script ran" "$url"
    dom_has "$E2E_TMP/page.dom" "images loaded: ${#E2E_PAGE_IMAGES[@]}" "$url"
    # Every resource reached nginx through the proxy: the default rules removed Chromium's
    # User-Agent, which a direct fetch would carry.
    for path in /index.html /slow.js "${E2E_PAGE_IMAGES[@]}"; do
        line="$(e2e_access_line "GET $path HTTP/1.1")"
        e2e_expect_field "$line" ua -
        e2e_expect_field "$line" status 200
    done
    if grep -v '| ua=- |' "$E2E_TMP/access.log" | grep -q .; then
        e2e_fail "a request reached nginx without the proxy: $(grep -v '| ua=- |' "$E2E_TMP/access.log" | head -n 1)"
    fi
    e2e_stop_host
    peak="$(sed -n 's/^peak connections \([0-9]*\)$/\1/p' "$E2E_TMP/host.out")"
    e2e_note "nginx logged $(wc -l < "$E2E_TMP/access.log") requests; at most $peak browser connections were open at once"
    [ "${peak:-0}" -ge 2 ] ||
        e2e_fail "the browser never had two connections open at once (peak ${peak:-none})"
    ;;
error-page)
    # A host name that cannot be resolved, on port 80: Chromium accepts the page without a
    # status line there. The proxy knows the name as unknown without asking this machine's
    # resolver.
    e2e_start_host --unknown-host no-such-host.test
    url="http://no-such-host.test/"
    dump_dom "$url" "$E2E_TMP/error.dom"
    dom_has "$E2E_TMP/error.dom" "Error Number:" "$url"
    dom_has "$E2E_TMP/error.dom" "Vesktor 1.0" "$url"
    e2e_note "$url shows: $(sed -e 's/<[^>]*>/ /g' "$E2E_TMP/error.dom" | tr -s ' \n' ' ')"

    # A refused connection on another port: the proxy answers with the same page (curl shows
    # it when told to accept a response without a status line); Chromium's view is recorded.
    closed_port="$(e2e_pick_port)"
    refused="http://127.0.0.1:$closed_port/"
    e2e_curl_proxy --http0.9 -o "$E2E_TMP/refused.curl" "$refused"
    dom_has "$E2E_TMP/refused.curl" "Error Number:" "$refused (curl)"
    e2e_note "curl through the proxy for $refused: $(sed -e 's/<[^>]*>/ /g' "$E2E_TMP/refused.curl" | tr -s ' \n' ' ')"
    dump_dom "$refused" "$E2E_TMP/refused.dom"
    e2e_note "Chromium for $refused shows the DOM '$(tr -s ' \n' ' ' < "$E2E_TMP/refused.dom" | head -c 600)' and reports: $(grep -o 'Page load failed.*' "$E2E_TMP/refused.dom.err" || echo nothing)"
    ;;
https-inspect)
    # Chromium trusts the proxy's CA through an NSS database in its temporary HOME, with no
    # flag that lowers its checks; the proxy trusts nginx's certificate only.
    e2e_require_tools openssl certutil
    e2e_make_tls_docroot
    e2e_start_nginx tls
    XDG_DATA_HOME="$E2E_TMP/data" XDG_CONFIG_HOME="$E2E_TMP/config" \
        SSL_CERT_FILE="$E2E_TMP/tls/cert.pem" e2e_start_host --inspect --log "$E2E_TMP/proxy-log.txt"
    proxy_ca="$E2E_TMP/data/vesktor/vesktor-ca.pem"
    [ -s "$proxy_ca" ] || e2e_fail "the proxy made no CA at $proxy_ca"
    nssdb="$E2E_TMP/chromium-home/.pki/nssdb"
    mkdir -p "$nssdb"
    certutil -d "sql:$nssdb" -N --empty-password || e2e_fail "certutil made no NSS database"
    certutil -d "sql:$nssdb" -A -t "C,," -n vesktor -i "$proxy_ca" ||
        e2e_fail "certutil did not add the proxy's CA"
    url="https://localhost:$TLS_PORT/"
    dump_dom "$url" "$E2E_TMP/https.dom"
    dom_has "$E2E_TMP/https.dom" "<h1>$E2E_TLS_MARKER</h1>" "$url"
    dom_has "$E2E_TMP/https.dom" "image loaded from https:" "$url"
    # The page sets a cookie, so Chromium sends it with the image; neither it nor Chromium's
    # User-Agent reaches nginx.
    for path in / "$E2E_TLS_IMAGE"; do
        line="$(e2e_access_line "GET $path HTTP/1.1")"
        e2e_expect_field "$line" scheme https
        e2e_expect_field "$line" status 200
        e2e_expect_field "$line" ua -
        e2e_expect_field "$line" cookie -
    done
    e2e_note "origin saw: $(e2e_access_line "GET $E2E_TLS_IMAGE HTTP/1.1")"
    e2e_stop_host
    # What Chromium sent, as the proxy logged it before the rules.
    log="$E2E_TMP/proxy-log.txt"
    grep -q $'^\t\t\t    User-Agent: Mozilla/' "$log" ||
        e2e_fail "the proxy's log lacks Chromium's User-Agent inside the tunnel"
    grep -qF $'\t\t\t    Cookie: e2e=set-by-origin\r' "$log" ||
        e2e_fail "the proxy's log lacks the cookie Chromium sent with the image"
    ;;
https)
    e2e_require_tools openssl
    e2e_make_tls_docroot
    e2e_start_nginx tls
    e2e_start_host --log "$E2E_TMP/proxy-log.txt"
    # The certificate is self-signed, made by this run.
    url="https://localhost:$TLS_PORT/"
    dump_dom "$url" "$E2E_TMP/https.dom" --ignore-certificate-errors
    dom_has "$E2E_TMP/https.dom" "<h1>$E2E_TLS_MARKER</h1>" "$url"
    dom_has "$E2E_TMP/https.dom" "image loaded from https:" "$url"
    # The page and its image arrived over TLS with Chromium's own User-Agent: no header rule
    # reaches inside a tunnel.
    for path in / "$E2E_TLS_IMAGE"; do
        line="$(e2e_access_line "GET $path HTTP/1.1")"
        e2e_expect_field "$line" scheme https
        e2e_expect_field "$line" status 200
        case "$line" in
        *" | ua=Mozilla/"*) ;;
        *) e2e_fail "the origin did not see Chromium's User-Agent: $line" ;;
        esac
    done
    e2e_note "origin saw: $(e2e_access_line "GET $E2E_TLS_IMAGE HTTP/1.1")"

    # A tunnel target on which nothing listens: the proxy answers 502 with its page; Chromium's
    # view is recorded.
    closed_port="$(e2e_pick_port)"
    refused="https://localhost:$closed_port/"
    dump_dom "$refused" "$E2E_TMP/refused.dom" --ignore-certificate-errors
    e2e_note "Chromium for $refused shows the DOM '$(tr -s ' \n' ' ' < "$E2E_TMP/refused.dom" | head -c 600)' and reports: $(grep -o 'Page load failed.*' "$E2E_TMP/refused.dom.err" || echo nothing)"

    e2e_stop_host
    # Chromium went through the proxy: the log holds the CONNECT requests, each with its
    # target in Host.
    log="$E2E_TMP/proxy-log.txt"
    entries="$(grep -c $'\tNew Request Received From\t127.0.0.1\r$' "$log" || true)"
    [ "$entries" -ge 2 ] || e2e_fail "the proxy's log has $entries request entries, expected 2"
    for target in "localhost:$TLS_PORT" "localhost:$closed_port"; do
        grep -qF $'\t\t\t    '"Host: $target"$'\r' "$log" ||
            e2e_fail "the proxy's log lacks the CONNECT header line 'Host: $target'"
    done
    e2e_note "the proxy logged $entries requests, for: $(sed -n 's/^\t\t\t    Host: \(.*\)\r$/\1/p' "$log" | sort | uniq -c | tr -s ' \n' ' ')"
    ;;
*)
    e2e_fail "unknown case $case_name"
    ;;
esac

e2e_stop_host
echo "PASSED: $case_name"
