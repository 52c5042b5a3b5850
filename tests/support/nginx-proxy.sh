#!/usr/bin/env bash
# A throwaway nginx in front of fiscal-server processes, made from the site operators
# install (deploy/nginx/fiscal-server.conf), unprivileged, on loopback, with TLS:
#
#   nginx-proxy.sh start STATE_DIR UPSTREAM_PORT...
#       makes an authority and a certificate for 127.0.0.1 with openssl, writes nginx.conf
#       around the site (its upstream servers, listen address and certificate replaced,
#       nothing else), starts nginx on a free port and writes it to STATE_DIR/port.
#       STATE_DIR/ca.pem is the authority to trust, STATE_DIR/access.log tells which
#       upstream served each request. As root, nginx runs as the user nobody.
#       With NGINX_PROXY_NO_LIMITS=1 the per-address limits (limit_req, limit_conn) are left
#       out: a benchmark's clients all come from 127.0.0.1, where the limits count one office.
#   nginx-proxy.sh stop STATE_DIR     stops it; the folder is left to the caller.
#   nginx-proxy.sh check STATE_DIR [SITE]    nginx -t on the site as shipped (or on SITE, as
#       a package installed it), only the certificate paths pointed at a certificate made here.
set -euo pipefail
action="$1"; state="$2"; shift 2
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
site="$here/../../deploy/nginx/fiscal-server.conf"
nginx=/usr/sbin/nginx
[ -x "$nginx" ] || { echo "nginx-proxy: $nginx not found (Debian package nginx-light)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi
}

certificates() {
  # An authority and a server certificate it signed, naming only 127.0.0.1. The server's key
  # is RSA, as most sites have: with it, the cipher list decides whether a suite without
  # forward secrecy (static RSA key exchange) could be chosen.
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=Autoridade de teste fiscal" -keyout "$state/ca.key" -out "$state/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes \
    -subj "/CN=127.0.0.1" -keyout "$state/server.key" -out "$state/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n' \
    > "$state/server.ext"
  openssl x509 -req -in "$state/server.csr" -CA "$state/ca.pem" -CAkey "$state/ca.key" \
    -CAcreateserial -days 2 -extfile "$state/server.ext" -out "$state/server.pem" 2>/dev/null
}

# The main configuration around a site: everything in STATE_DIR, nothing of /etc or /var.
main_conf() {
  local site_file="$1"
  cat > "$state/nginx.conf" <<EOF
worker_processes 2;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 1024; }
http {
    log_format upstream '\$request \$status upstream=\$upstream_addr upstream_status=\$upstream_status';
    access_log $state/access.log upstream;
    client_body_temp_path $state/body;
    proxy_temp_path $state/proxy;
    fastcgi_temp_path $state/fastcgi;
    uwsgi_temp_path $state/uwsgi;
    scgi_temp_path $state/scgi;
    include $site_file;
}
EOF
}

case "$action" in
  start)
    [ $# -ge 1 ] || { echo "usage: nginx-proxy.sh start STATE_DIR UPSTREAM_PORT..." >&2; exit 2; }
    mkdir -p "$state"
    certificates
    port="$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')"
    # The parameters of the shipped upstream lines stay as they are.
    params="$(sed -n 's/^\s*server 127\.0\.0\.1:[0-9]* \(.*\);/\1/p' "$site" | head -n 1)"
    servers=""
    for p in "$@"; do servers+="    server 127.0.0.1:$p $params;\n"; done
    sed -e '/^\s*server 127\.0\.0\.1:[0-9]*/d' \
        -e "s|^\(\s*upstream fiscal_servers {\)|\1\n$servers|" \
        -e "s|^\(\s*\)listen 443 ssl;|\1listen 127.0.0.1:$port ssl;|" \
        -e '/^\s*listen \[::\]:443 ssl;/d' \
        -e "s|ssl_certificate .*;|ssl_certificate $state/server.pem;|" \
        -e "s|ssl_certificate_key .*;|ssl_certificate_key $state/server.key;|" \
        "$site" > "$state/site.conf"
    if [ "${NGINX_PROXY_NO_LIMITS:-}" = 1 ]; then
      sed -i -e '/^\s*limit_req zone=/d' -e '/^\s*limit_conn fiscal_/d' "$state/site.conf"
    fi
    main_conf "$state/site.conf"
    [ "$(id -u)" -ne 0 ] || chown -R nobody "$state"
    as_owner "$nginx" -t -q -p "$state" -c "$state/nginx.conf"
    as_owner "$nginx" -p "$state" -c "$state/nginx.conf"
    for _ in $(seq 1 100); do
      if [ -s "$state/nginx.pid" ] && (echo > "/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "$port" > "$state/port"
        exit 0
      fi
      sleep 0.1
    done
    echo "nginx-proxy: nginx did not start" >&2
    cat "$state/error.log" >&2 || true
    exit 1
    ;;
  stop)
    if [ -s "$state/nginx.pid" ]; then
      pid="$(cat "$state/nginx.pid")"
      kill -QUIT "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null || true
      rm -f "$state/nginx.pid"
    fi
    ;;
  check)
    [ $# -eq 0 ] || site="$1"
    mkdir -p "$state"
    certificates
    sed -e "s|ssl_certificate .*;|ssl_certificate $state/server.pem;|" \
        -e "s|ssl_certificate_key .*;|ssl_certificate_key $state/server.key;|" \
        "$site" > "$state/site.conf"
    main_conf "$state/site.conf"
    "$nginx" -t -p "$state" -c "$state/nginx.conf"
    ;;
  *) echo "usage: nginx-proxy.sh start|stop|check STATE_DIR [UPSTREAM_PORT...|SITE]" >&2; exit 2 ;;
esac
