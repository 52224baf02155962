#!/usr/bin/env bash
# Remakes docs/requests-window.png, the Requests window as the README shows it: a few requests
# through the proxy to a local nginx, with the Replace, Add and response lists switched on, and
# one row selected so that its header panes show what the rules did.
#
#   scripts/requests-window-screenshot.sh [BUILD_DIR]   (default: build/, built beforehand)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export VESKTOR_TEST_HOST="${1:-$here/build}/tests/host/vesktor_test_host"
source "$here/tests/e2e/lib.sh"
e2e_require_tools curl nginx
e2e_init
export XDG_CONFIG_HOME="$E2E_TMP/config" XDG_DATA_HOME="$E2E_TMP/data"
export QT_LOGGING_RULES='qt.qpa.*=false'
mkdir -p "$E2E_TMP/www/news" "$E2E_TMP/www/static"
echo '<html><body>news</body></html>' > "$E2E_TMP/www/news/index.html"
echo 'body { color: #333 }' > "$E2E_TMP/www/static/site.css"
e2e_start_nginx
e2e_start_host --change --add --remove-response --requests-window

site="http://localhost:$NGINX_PORT"
fetch()
{
    e2e_curl_proxy -o /dev/null \
        -A 'Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0' \
        -H 'Accept-Language: en-GB,en;q=0.5' "$@"
}
fetch "$site/news/"
fetch -e "$site/news/" -b 'session=4f1c9e; consent=yes' "$site/static/site.css"
fetch -e "$site/news/" -b 'session=4f1c9e; consent=yes' -H 'From: reader@example.org' \
    -H 'DNT: 1' "$site/news/?page=2"
fetch -I "$site/news/index.html"
fetch "$site/missing.png"

# The window lists what the engine recorded at its next look, a tenth of a second later.
listed_all() { [ "$(e2e_host_ask "requests report" "requests rows")" = 5 ]; }
e2e_wait_for 50 "five rows" listed_all
e2e_host_command "requests select 2"
e2e_host_command "grab frmRequests $E2E_TMP/requests-window.png"
e2e_wait_for 50 "the picture" grep -q '^grabbed ' "$E2E_TMP/host.out"
cp "$E2E_TMP/requests-window.png" "$here/docs/requests-window.png"
e2e_note "docs/requests-window.png updated"
