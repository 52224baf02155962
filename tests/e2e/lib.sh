# shellcheck shell=bash
# Shared pieces of the end-to-end suite: a temporary folder, nginx as the origin server, the
# test host running the proxy, bounded waits, and a cleanup that stops only what was started
# here. Sourced by the suite's scripts.
#
# Exit codes: 0 passed, 1 failed, 77 skipped (a tool is missing; the reason is printed).
set -euo pipefail

E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
E2E_TMP=""
NGINX_PID=""
NGINX_PORT=""
TLS_PORT=""
HOST_PID=""
HOST_STDIN=""
HOST_STATUS=""
PROXY_PORT=""
E2E_WATCH=""

# Servers of the suite listen below Linux's ephemeral range (32768 and up), so that the ports
# it picks never clash with the local ends of outgoing connections.
E2E_PORT_LOW=20000
E2E_PORT_HIGH=32767

e2e_note() { echo "# $*"; }

e2e_fail()
{
    echo "FAILED: $*" >&2
    exit 1
}

e2e_skip()
{
    echo "SKIPPED: $*" >&2
    exit 77
}

# Skips the test when a program it needs is not installed.
e2e_require_tools()
{
    local tool
    for tool in "$@"; do
        command -v "$tool" > /dev/null 2>&1 ||
            e2e_skip "'$tool' is not installed (scripts/test.sh installs the suite's packages)"
    done
}

# e2e_wait_for TRIES WHAT COMMAND...: runs COMMAND until it succeeds, at most TRIES times, a
# tenth of a second apart; fails the test with WHAT when it never does.
e2e_wait_for()
{
    local tries="$1" what="$2" i
    shift 2
    for ((i = 0; i < tries; i++)); do
        if "$@"; then
            return 0
        fi
        sleep 0.1
    done
    e2e_fail "gave up waiting for $what"
}

# e2e_wait_exit PID TRIES: true once PID has ended, false when it still runs after TRIES tenths
# of a second.
e2e_wait_exit()
{
    local pid="$1" tries="$2" i
    for ((i = 0; i < tries; i++)); do
        kill -0 "$pid" 2> /dev/null || return 0
        sleep 0.1
    done
    ! kill -0 "$pid" 2> /dev/null
}

# Ends a process this script started: TERM, then KILL when it does not go within 5 s.
e2e_end_process()
{
    local pid="$1"
    kill -TERM "$pid" 2> /dev/null || true
    e2e_wait_exit "$pid" 50 || kill -KILL "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
}

e2e_port_answers() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

# A loopback port in that range on which nothing answers right now.
e2e_pick_port()
{
    local i port
    for ((i = 0; i < 100; i++)); do
        port=$((E2E_PORT_LOW + RANDOM % (E2E_PORT_HIGH - E2E_PORT_LOW + 1)))
        if ! e2e_port_answers "$port"; then
            echo "$port"
            return 0
        fi
    done
    e2e_fail "found no free loopback port"
}

e2e_show_file()
{
    if [ -s "$1" ]; then
        echo "----- $2 (last lines) -----" >&2
        tail -n 40 "$1" >&2
    fi
}

e2e_cleanup()
{
    local status=$?
    set +e
    trap '' PIPE
    if [ -n "$HOST_PID" ]; then
        [ -n "$HOST_STDIN" ] && exec {HOST_STDIN}>&-
        e2e_wait_exit "$HOST_PID" 50 || true
        e2e_end_process "$HOST_PID"
    fi
    [ -n "$NGINX_PID" ] && e2e_end_process "$NGINX_PID"
    if [ -n "$E2E_WATCH" ]; then
        echo "done" >&"$E2E_WATCH"
        exec {E2E_WATCH}>&-
    fi
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -n "$E2E_TMP" ]; then
        e2e_show_file "$E2E_TMP/host.err" "test host stderr"
        e2e_show_file "$E2E_TMP/nginx-error.log" "nginx error log"
        e2e_show_file "$E2E_TMP/access.log" "nginx access log"
    fi
    if [ -n "$E2E_TMP" ]; then
        if [ -n "${E2E_KEEP_TMP:-}" ]; then
            echo "kept $E2E_TMP" >&2
        else
            rm -rf "$E2E_TMP"
        fi
    fi
    exit "$status"
}

# Creates the run's temporary folder and arranges for everything to be cleaned up on exit. The
# settings folder is in it, so the program starts from its defaults and saves nothing that
# another run would restore (the test host keeps a temporary folder of its own anyway).
e2e_init()
{
    E2E_TMP="$(mktemp -d "${TMPDIR:-/tmp}/vesktor-e2e.XXXXXX")"
    export XDG_CONFIG_HOME="$E2E_TMP/config"
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# Small valid images: a 1x1 PNG and a 1x1 GIF.
# A virtual X server for a real window: Xvfb picks a free display itself and writes its number
# to fd 3. Sets XVFB_PID and exports DISPLAY; its errors go to $E2E_TMP/xvfb.err.
e2e_start_xvfb()
{
    : > "$E2E_TMP/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$E2E_TMP/display" \
        < /dev/null > /dev/null 2> "$E2E_TMP/xvfb.err" &
    XVFB_PID=$!
    e2e_wait_for 100 "Xvfb to pick a display" grep -q '^[0-9]' "$E2E_TMP/display"
    DISPLAY=":$(head -n 1 "$E2E_TMP/display")"
    export DISPLAY
    unset QT_QPA_PLATFORM WAYLAND_DISPLAY
    # A program started before the server answers aborts (Qt finds no display), which was seen
    # once on a loaded machine: a client must get through first.
    e2e_wait_for 100 "the X server on $DISPLAY to answer" e2e_x_answers
}

e2e_x_answers()
{
    xwininfo -root > /dev/null 2>&1
}

e2e_write_png()
{
    printf '\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x01\x00\x00\x00\x01\x08\x06\x00\x00\x00\x1f\x15\xc4\x89\x00\x00\x00\rIDATx\x9cc\xf8\xcf\xc0\xf0\x1f\x00\x05\x00\x01\xff\x89\x99=\x1d\x00\x00\x00\x00IEND\xaeB`\x82' > "$1"
}

e2e_write_gif()
{
    printf 'GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;' > "$1"
}

# The images index.html pulls in; the Chromium test expects each of them in nginx's log.
E2E_PAGE_IMAGES=(/img/one.png /img/two.png /img/three.png /img/four.gif /img/five.gif)

# Fills $E2E_TMP/www: the page with its images and script, a 1 MiB file, a text file for the
# chunked response. With "big", also a 100 MiB file.
e2e_make_docroot()
{
    local root="$E2E_TMP/www" image i
    mkdir -p "$root/img" "$root/chunked" "$E2E_TMP/uploads"
    for image in "${E2E_PAGE_IMAGES[@]}"; do
        case "$image" in
        *.png) e2e_write_png "$root$image" ;;
        *.gif) e2e_write_gif "$root$image" ;;
        esac
    done
    {
        echo '<!DOCTYPE html>'
        echo '<html><head><title>Vesktor e2e page</title><script src="/slow.js"></script></head>'
        echo '<body><h1>Origin page</h1>'
        for image in "${E2E_PAGE_IMAGES[@]}"; do
            echo "<img src=\"$image\" alt=\"\">"
        done
        echo '<p id="script">script not run</p><p id="images">images not loaded</p>'
        echo '</body></html>'
    } > "$root/index.html"
    {
        cat << 'EOF'
document.addEventListener('DOMContentLoaded', function () {
    document.getElementById('script').textContent = 'script ran';
});
window.addEventListener('load', function () {
    var loaded = 0, images = document.images;
    for (var i = 0; i < images.length; i++)
        if (images[i].complete && images[i].naturalWidth > 0)
            loaded++;
    document.getElementById('images').textContent = 'images loaded: ' + loaded;
});
EOF
        # Padding, so that the throttled script takes a moment to arrive.
        for ((i = 0; i < 400; i++)); do
            echo "// padding line $i: the script is throttled by the origin server ........"
        done
    } > "$root/slow.js"
    head -c 1048576 /dev/urandom > "$root/file-1m.bin"
    if [ "${1:-}" = big ]; then
        head -c 104857600 /dev/urandom > "$root/file-100m.bin"
    fi
    for ((i = 0; i < 20000; i++)); do
        echo "line $i of a text that the origin compresses on the fly"
    done > "$root/chunked/text.txt"
}

# The HTTPS origin's files in $E2E_TMP/www-tls: a page with a marker text and one image whose
# script reports whether the image loaded, and a 10 MiB file.
E2E_TLS_MARKER="Served over TLS through the tunnel"
E2E_TLS_IMAGE=/img/lock.png

e2e_make_tls_docroot()
{
    local root="$E2E_TMP/www-tls"
    mkdir -p "$root/img"
    e2e_write_png "$root$E2E_TLS_IMAGE"
    cat > "$root/index.html" << EOF
<!DOCTYPE html>
<html><head><title>Vesktor e2e HTTPS page</title></head>
<body><h1>$E2E_TLS_MARKER</h1>
<img id="lock" src="$E2E_TLS_IMAGE" alt="">
<p id="image">image not loaded</p>
<script>
window.addEventListener('load', function () {
    var image = document.getElementById('lock');
    if (image.complete && image.naturalWidth > 0)
        document.getElementById('image').textContent = 'image loaded from ' + location.protocol;
});
</script>
</body></html>
EOF
    head -c 10485760 /dev/urandom > "$root/file-10m.bin"
}

# A fresh self-signed certificate for localhost (and 127.0.0.1) in $E2E_TMP/tls, valid for a
# day.
e2e_make_certificate()
{
    e2e_require_tools openssl
    mkdir -p "$E2E_TMP/tls"
    openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$E2E_TMP/tls/key.pem" -out "$E2E_TMP/tls/cert.pem" \
        > "$E2E_TMP/tls/openssl.out" 2>&1 || {
        e2e_show_file "$E2E_TMP/tls/openssl.out" "openssl output"
        e2e_fail "openssl could not make a certificate"
    }
}

# e2e_start_nginx [tls]: starts nginx on a free loopback port (NGINX_PORT) serving
# $E2E_TMP/www. With "tls", it also serves $E2E_TMP/www-tls over HTTPS on a second free port
# (TLS_PORT) with a certificate made here; e2e_make_tls_docroot fills that folder.
e2e_start_nginx()
{
    e2e_require_tools nginx
    local with_tls="" user_line="" attempt port tls_port=""
    if [ "${1:-}" = tls ]; then
        with_tls=1
        e2e_make_certificate
    fi
    # As root, nginx would hand its workers to "nobody", who cannot read the temporary folder.
    if [ "$(id -u)" -eq 0 ]; then
        user_line="user $(id -un) $(id -gn);"
    fi
    mkdir -p "$E2E_TMP/servers"
    for ((attempt = 0; attempt < 5; attempt++)); do
        port="$(e2e_pick_port)"
        if [ -n "$with_tls" ]; then
            tls_port="$(e2e_pick_port)"
            [ "$tls_port" != "$port" ] || continue
            sed -e "s|@TLS_PORT@|$tls_port|g" -e "s|@TMP@|$E2E_TMP|g" \
                -e "s|@TLS_ROOT@|$E2E_TMP/www-tls|g" "$E2E_DIR/nginx-tls-server.conf.in" \
                > "$E2E_TMP/servers/tls.conf"
        fi
        sed -e "s|@PORT@|$port|g" -e "s|@TMP@|$E2E_TMP|g" -e "s|@ROOT@|$E2E_TMP/www|g" \
            -e "s|@USER@|$user_line|" "$E2E_DIR/nginx.conf.in" > "$E2E_TMP/nginx.conf"
        : > "$E2E_TMP/nginx-error.log"
        nginx -p "$E2E_TMP" -c "$E2E_TMP/nginx.conf" -e "$E2E_TMP/nginx-error.log" \
            < /dev/null > "$E2E_TMP/nginx.out" 2>&1 &
        NGINX_PID=$!
        local i
        for ((i = 0; i < 100; i++)); do
            kill -0 "$NGINX_PID" 2> /dev/null || break
            nginx_answers "$port" "$tls_port" && break
            sleep 0.1
        done
        if kill -0 "$NGINX_PID" 2> /dev/null && nginx_answers "$port" "$tls_port"; then
            NGINX_PORT="$port"
            TLS_PORT="$tls_port"
            e2e_watch_nginx
            e2e_note "nginx serves on 127.0.0.1:$NGINX_PORT${TLS_PORT:+, HTTPS on $TLS_PORT}"
            return 0
        fi
        wait "$NGINX_PID" 2> /dev/null || true
        NGINX_PID=""
        if ! grep -q "Address already in use" "$E2E_TMP/nginx-error.log" "$E2E_TMP/nginx.out"; then
            e2e_show_file "$E2E_TMP/nginx.out" "nginx output"
            e2e_show_file "$E2E_TMP/nginx-error.log" "nginx error log"
            e2e_fail "nginx did not start"
        fi
    done
    e2e_fail "nginx found no free port in 5 attempts"
}

# nginx_answers PORT [TLS_PORT]: every port given accepts connections.
nginx_answers()
{
    e2e_port_answers "$1" && { [ -z "${2:-}" ] || e2e_port_answers "$2"; }
}

# Should this script be killed without running its cleanup, nginx would live on. A watcher
# reads a pipe whose only writer is this script (and the children started after it): at end of
# input without the word "done", the script is gone and the watcher ends nginx.
e2e_watch_nginx()
{
    mkfifo "$E2E_TMP/nginx.watch"
    (
        trap '' INT TERM
        word=""
        read -r word < "$E2E_TMP/nginx.watch" || true
        [ "$word" = "done" ] || kill -TERM "$NGINX_PID" 2> /dev/null || true
    ) < /dev/null > /dev/null 2>&1 &
    exec {E2E_WATCH}> "$E2E_TMP/nginx.watch"
}

# Starts the proxy through the test host with the given options (see test_host.cpp) on a port
# the system picks; sets PROXY_PORT. The host's stdin is a pipe held by this script: when the
# script ends in any way, the host sees end of input and stops.
e2e_start_host()
{
    local host="${VESKTOR_TEST_HOST:-}"
    if [ -z "$host" ] || [ ! -x "$host" ]; then
        e2e_fail "VESKTOR_TEST_HOST does not name the built test host ('$host')"
    fi
    # A host started before in the same run leaves its pipe and its output behind.
    rm -f "$E2E_TMP/host.in" "$E2E_TMP/host.out"
    mkfifo "$E2E_TMP/host.in"
    QT_QPA_PLATFORM=offscreen "$host" --port 0 "$@" < "$E2E_TMP/host.in" \
        > "$E2E_TMP/host.out" 2> "$E2E_TMP/host.err" &
    HOST_PID=$!
    exec {HOST_STDIN}> "$E2E_TMP/host.in"
    local i
    for ((i = 0; i < 100; i++)); do
        if grep -q '^listening [0-9]' "$E2E_TMP/host.out"; then
            PROXY_PORT="$(sed -n 's/^listening \([0-9]*\)$/\1/p' "$E2E_TMP/host.out" | head -n 1)"
            e2e_note "proxy listens on port $PROXY_PORT (options: ${*:-none})"
            return 0
        fi
        kill -0 "$HOST_PID" 2> /dev/null || break
        sleep 0.1
    done
    e2e_fail "the test host did not report that the proxy listens"
}

# Stops the host as a user would (Stop, then leave) and sets HOST_STATUS to its exit code.
e2e_stop_host()
{
    [ -n "$HOST_PID" ] || return 0
    exec {HOST_STDIN}>&-
    HOST_STDIN=""
    if ! e2e_wait_exit "$HOST_PID" 100; then
        e2e_end_process "$HOST_PID"
        HOST_PID=""
        e2e_fail "the test host did not stop within 10 s of the end of its input"
    fi
    HOST_STATUS=0
    wait "$HOST_PID" || HOST_STATUS=$?
    HOST_PID=""
    [ "$HOST_STATUS" -eq 0 ] || e2e_fail "the test host exited with status $HOST_STATUS"
}

# A command line to the running test host (see test_host.cpp).
e2e_host_command() { echo "$1" >&"$HOST_STDIN"; }

# e2e_host_ask COMMAND PREFIX: sends the command and prints the rest of the first line starting
# with PREFIX that the host prints after it.
e2e_host_ask()
{
    local before i
    before="$(grep -c "^$2 " "$E2E_TMP/host.out" || true)"
    e2e_host_command "$1"
    for ((i = 0; i < 100; i++)); do
        if [ "$(grep -c "^$2 " "$E2E_TMP/host.out" || true)" -gt "$before" ]; then
            sed -n "s/^$2 //p" "$E2E_TMP/host.out" | tail -n 1
            return 0
        fi
        sleep 0.05
    done
    e2e_fail "the test host did not answer \"$1\""
}

# Runs a program with the host's stdin pipe closed, so that nothing it leaves behind keeps the
# host alive.
e2e_detached()
{
    if [ -n "$HOST_STDIN" ]; then
        "$@" {HOST_STDIN}>&-
    else
        "$@"
    fi
}

# Seconds a curl transfer may take. A failing curl fails the test with exit code 1 (curl's
# own codes include 77, the skip code).
E2E_CURL_TIME=20

e2e_curl_direct()
{
    env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY \
        curl -sS --max-time "$E2E_CURL_TIME" --noproxy '*' "$@" ||
        e2e_fail "curl without the proxy failed with exit code $?: curl $*"
}

e2e_curl_proxy()
{
    env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY \
        curl -sS --max-time "$E2E_CURL_TIME" -x "http://127.0.0.1:$PROXY_PORT" "$@" ||
        e2e_fail "curl through the proxy failed with exit code $?: curl $*"
}

# The access-log line whose request line contains TEXT, waiting briefly for nginx to write it.
e2e_access_line()
{
    local text="$1"
    e2e_wait_for 50 "nginx to log a request for '$text'" grep -qF -- "$text" "$E2E_TMP/access.log"
    grep -F -- "$text" "$E2E_TMP/access.log" | tail -n 1
}

# e2e_expect_field LINE NAME VALUE: the access-log LINE records header NAME as VALUE ("-" for
# a header that did not arrive).
e2e_expect_field()
{
    local line="$1" name="$2" value="$3" actual
    actual="$(printf '%s\n' "$line" | tr '|' '\n' | sed -n "s/^ $name=\\(.*\\) *\$/\\1/p" | sed 's/ *$//')"
    [ "$actual" = "$value" ] ||
        e2e_fail "upstream saw $name='$actual', expected '$value' (log line: $line)"
}
