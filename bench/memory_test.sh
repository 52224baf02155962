#!/usr/bin/env bash
# A large body through the proxy, either way. The proxy reads one side no faster than the other
# takes the bytes (backpressure), so its memory stays bounded however large the body; and every
# byte arrives unchanged.
#
#   memory_test.sh download|upload SIZE RATE
#     download  a response to a reader that takes RATE
#     upload    a request body (with Content-Length) sent at RATE, stored by the origin
#     SIZE      the body, as truncate(1) takes it (64M, 1G)
#     RATE      as curl's --limit-rate takes it (16M, 10M: MiB per second)
#
# Passes when the body's SHA-256 at the far end equals the sent one's and the test host's peak
# resident size over its whole life (VmHWM, shared libraries included) stays under
# VESKTOR_RSS_LIMIT_KIB (default 32768, 32 MiB). In a sanitizer build (VESKTOR_SANITIZED=1)
# memory is not judged.
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"

usage="usage: memory_test.sh download|upload SIZE RATE"
direction="${1:?$usage}"
size="${2:?$usage}"
rate="${3:?$usage}"
case "$direction" in download | upload) ;; *) e2e_fail "$usage" ;; esac
limit_kib="${VESKTOR_RSS_LIMIT_KIB:-32768}"

e2e_require_tools curl nginx sha256sum truncate dd
e2e_init

# A sparse file reads as zeros, which would hide a lost or repeated stretch of the same length:
# sixteen random blocks spread over it make any such fault show in the hash.
mkdir -p "$E2E_TMP/www"
file="$E2E_TMP/www/big.bin"
truncate -s "$size" "$file"
bytes="$(stat -c %s "$file")"
blocks=$((bytes / 4096))
for ((i = 0; i < 16; i++)); do
    dd if=/dev/urandom of="$file" bs=4096 count=1 seek=$((blocks / 16 * i + i)) conv=notrunc \
        status=none
done
expected="$(sha256sum < "$file" | cut -d' ' -f1)"

e2e_start_nginx
e2e_start_host

# The transfer takes SIZE / RATE seconds; a minute more is allowed (lib.sh's curl reads it).
rate_bytes="$(numfmt --from=iec "$rate")"
# shellcheck disable=SC2034
E2E_CURL_TIME=$((bytes / rate_bytes + 60))

if [ "$direction" = upload ]; then
    e2e_note "sending $size ($bytes bytes) at $rate/s through the proxy"
    # -T streams the file with its Content-Length; "Expect:": the body follows at once.
    result="$(e2e_curl_proxy --limit-rate "$rate" -o /dev/null -T "$file" -H 'Expect:' \
        -w '%{http_code} %{size_upload} %{time_total}' \
        "http://127.0.0.1:$NGINX_PORT/store/big.bin")"
    read -r status sent seconds <<< "$result"
    peak_kib="$(awk '/^VmHWM:/ {print $2}' "/proc/$HOST_PID/status")"
    e2e_stop_host
    e2e_note "status $status, $sent bytes in $seconds s; proxy peak RSS ${peak_kib} KiB"
    [ "$status" = 201 ] || e2e_fail "the origin answered $status"
    [ "$sent" = "$bytes" ] || e2e_fail "$sent of $bytes bytes were sent"
    actual="$(sha256sum < "$E2E_TMP/uploads/store/big.bin" | cut -d' ' -f1)"
    [ "$actual" = "$expected" ] || e2e_fail "the stored body's SHA-256 $actual is not $expected"
    if [ -z "${VESKTOR_SANITIZED:-}" ] && [ "$peak_kib" -ge "$limit_kib" ]; then
        e2e_fail "the proxy's peak RSS was $peak_kib KiB, not under $limit_kib KiB"
    fi
    e2e_note "passed: byte for byte, peak RSS $peak_kib KiB < $limit_kib KiB"
    exit 0
fi
# The download is hashed as it arrives, through a pipe that this script also holds open for
# writing, so that the hashing ends with the script whatever becomes of curl.
mkfifo "$E2E_TMP/download"
sha256sum < "$E2E_TMP/download" | cut -d' ' -f1 > "$E2E_TMP/received.sha" &
hash_pid=$!
exec {hold}> "$E2E_TMP/download"
e2e_note "fetching $size ($bytes bytes) at $rate/s through the proxy"
result="$(e2e_curl_proxy --limit-rate "$rate" -o "$E2E_TMP/download" \
    -w '%{http_code} %{size_download} %{time_total}' "http://127.0.0.1:$NGINX_PORT/big.bin")"
exec {hold}>&-
wait "$hash_pid"
read -r status received seconds <<< "$result"

# The host's peak over its whole life, read before it stops.
peak_kib="$(awk '/^VmHWM:/ {print $2}' "/proc/$HOST_PID/status")"
anon_kib="$(awk '/^RssAnon:/ {print $2}' "/proc/$HOST_PID/status")"
file_kib="$(awk '/^RssFile:/ {print $2}' "/proc/$HOST_PID/status")"
e2e_stop_host

e2e_note "status $status, $received bytes in $seconds s"
e2e_note "proxy peak RSS ${peak_kib} KiB (now: ${anon_kib} KiB anonymous, ${file_kib} KiB files)"
[ "$status" = 200 ] || e2e_fail "the origin answered $status"
[ "$received" = "$bytes" ] || e2e_fail "$received of $bytes bytes arrived"
actual="$(cat "$E2E_TMP/received.sha")"
[ "$actual" = "$expected" ] || e2e_fail "the download's SHA-256 $actual is not the file's $expected"
if [ -n "${VESKTOR_SANITIZED:-}" ]; then
    e2e_note "sanitizer build: memory not judged"
elif [ "$peak_kib" -ge "$limit_kib" ]; then
    e2e_fail "the proxy's peak RSS was $peak_kib KiB, not under $limit_kib KiB"
fi
e2e_note "passed: byte for byte, peak RSS $peak_kib KiB < $limit_kib KiB"
