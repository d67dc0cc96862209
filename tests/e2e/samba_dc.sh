#!/usr/bin/env bash
# A real Active Directory domain controller (Samba AD) on its own loopback address, for tests
# that need a directory, Kerberos or domain logons. Runs as root.
#   samba_dc.sh start STATE_DIR     provision (or reuse the pristine copy), populate, start
#   samba_dc.sh stop STATE_DIR      stop it and remove STATE_DIR
#
# After start, STATE_DIR/dc.env holds what a test needs, as shell assignments:
#   QV_DC_ADDRESS       127.0.0.50 (LDAP 389, LDAPS 636, global catalog 3268/3269, KDC 88)
#   QV_DC_REALM         CORP.EXAMPLE.TEST          QV_DC_DNS_DOMAIN   corp.example.test
#   QV_DC_NETBIOS       QVCORP (deliberately not the DNS name's first label)
#   QV_DC_BASE_DN       DC=corp,DC=example,DC=test
#   QV_DC_ADMIN         Administrator              QV_DC_ADMIN_PASSWORD
#   QV_DC_LDAP_URL      ldap://127.0.0.50          QV_DC_LDAPS_URL    ldaps://127.0.0.50
#   QV_DC_CA_FILE       the CA that signed the DC's certificate (for DNS dc1.corp.example.test
#                       and IP 127.0.0.50): verify against it, never turn verification off
#   QV_DC_KRB5_CONFIG   a krb5.conf for the realm (KRB5_CONFIG=...), no DNS look-ups
#   QV_DC_KEYTAB        the DC's machine account keytab; QV_DC_MACHINE_ACCOUNT DC1$
#   QV_DC_AUTH_LOG      the JSON authentication audit log (one record a line: LDAP simple
#                       binds, kinit and smbclient logons write 4624/4625 records)
#   QV_DC_USER_PASSWORD the password of every test user below
#
# The directory it is populated with (OU=Quorvane Test under the domain):
#   users   alice: in Sales, which is in Staff, which is in Everyone Else, which is in
#           Staff again (a cycle); primary group Domain Users
#           bob: no memberOf at all; primary group Domain Users
#           carol: primary group Sales; memberOf Domain Users (her former primary group) and
#           Managers, which is in Sales: her primary group comes round again in the walk
#           dave: in OU=Branch/East (a DN with "/"); in Managers
#           p(x)q: whose user principal name, p*(x)\q@corp.example.test, holds every character an
#           LDAP filter must escape (an account name may not hold "*" or "\")
#   groups  Sales, Staff, Everyone Else, Managers
#   computer PC7 in OU=Desks
# Provisioning takes most of the time, so the provisioned and populated directory is kept
# beside STATE_DIR (STATE_DIR.pristine.tar) and unpacked on later starts.
set -euo pipefail
action=$1
state=$(realpath -m "$2")

ADDRESS=127.0.0.50
REALM=CORP.EXAMPLE.TEST
DNS_DOMAIN=corp.example.test
NETBIOS=QVCORP
BASE_DN=DC=corp,DC=example,DC=test
ADMIN_PASSWORD='Quorvane-Admin-1'
USER_PASSWORD='Quorvane-User-1'
TEST_OU="OU=Quorvane Test,$BASE_DN"
VERSION=2  # change when the directory below changes, so an old pristine copy is not reused

stop() {
  if [ -f "$state/samba.pid" ]; then
    local pid
    pid=$(cat "$state/samba.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  # Samba's own children (smbd, winbindd) follow their parent; any left are ended by their pid files.
  for pidfile in "$state"/run/*.pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
  done
}

if [ "$action" = stop ]; then
  stop
  rm -rf "$state"
  exit 0
fi

tool() { samba-tool "$@" -H "ldap://$ADDRESS" -U "Administrator%$ADMIN_PASSWORD" >/dev/null; }
add_ldif() { ldapmodify -a -x -H "ldap://$ADDRESS" -D "Administrator@$DNS_DOMAIN" -w "$ADMIN_PASSWORD" >/dev/null; }

provision() {
  mkdir -p "$state"
  : >"$state/empty.conf"
  samba-tool domain provision --targetdir="$state" --realm=$REALM --domain=$NETBIOS --server-role=dc \
    --dns-backend=NONE --host-name=DC1 --host-ip=$ADDRESS -s "$state/empty.conf" --adminpass="$ADMIN_PASSWORD" \
    --use-rfc2307 --option="interfaces=$ADDRESS/8" --option="bind interfaces only=yes" >"$state/provision.log" 2>&1
  # A certificate the tests can verify: its own CA, the DC's name and address.
  mkdir -p "$state/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Quorvane Test CA" \
    -keyout "$state/tls/ca.key" -out "$state/tls/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=dc1.$DNS_DOMAIN" -keyout "$state/tls/dc.key" \
    -out "$state/tls/dc.csr" 2>/dev/null
  printf 'subjectAltName=DNS:dc1.%s,IP:%s\n' "$DNS_DOMAIN" "$ADDRESS" >"$state/tls/dc.ext"
  openssl x509 -req -in "$state/tls/dc.csr" -CA "$state/tls/ca.pem" -CAkey "$state/tls/ca.key" -CAcreateserial \
    -days 3650 -extfile "$state/tls/dc.ext" -out "$state/tls/dc.pem" 2>/dev/null
  chmod 600 "$state/tls/dc.key"
  mkdir -p "$state/run" "$state/ncalrpc"
  sed -i "/^\[global\]/a\\
	log level = 1 auth_audit:3 auth_json_audit:5@$state/auth_json.log\\
	log file = $state/samba.log\\
	ldap server require strong auth = no\\
	server services = -dns -dnsupdate -nbt -wrepl -ntp_signd -kcc\\
	pid directory = $state/run\\
	ncalrpc dir = $state/ncalrpc\\
	tls enabled = yes\\
	tls keyfile = $state/tls/dc.key\\
	tls certfile = $state/tls/dc.pem\\
	tls cafile = $state/tls/ca.pem" "$state/etc/smb.conf"
  cat >"$state/krb5.conf" <<EOF
[libdefaults]
	default_realm = $REALM
	dns_lookup_realm = false
	dns_lookup_kdc = false
	rdns = false
	dns_canonicalize_hostname = false
[realms]
	$REALM = {
		kdc = $ADDRESS
	}
EOF
}

start_samba() {
  samba -F -M single -s "$state/etc/smb.conf" >"$state/samba.out" 2>&1 &
  echo $! >"$state/samba.pid"
  for _ in $(seq 1 300); do
    ldapsearch -x -H "ldap://$ADDRESS" -b '' -s base >/dev/null 2>&1 && return 0
    kill -0 "$(cat "$state/samba.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "the domain controller did not start:" >&2
  tail -20 "$state/samba.out" "$state/samba.log" >&2 2>/dev/null
  return 1
}

populate() {
  add_ldif <<EOF
dn: $TEST_OU
objectClass: organizationalUnit

dn: OU=Desks,$TEST_OU
objectClass: organizationalUnit

dn: OU=Branch/East,$TEST_OU
objectClass: organizationalUnit
EOF
  local group
  for group in Sales Staff "Everyone Else" Managers; do
    tool group add "$group" --groupou="OU=Quorvane Test"
  done
  tool user create alice "$USER_PASSWORD" --userou="OU=Quorvane Test"
  tool user create bob "$USER_PASSWORD" --userou="OU=Quorvane Test"
  tool user create carol "$USER_PASSWORD" --userou="OU=Quorvane Test"
  tool user create dave "$USER_PASSWORD" --userou="OU=Branch/East,OU=Quorvane Test"
  tool group addmembers Sales alice,carol
  tool group addmembers Staff Sales
  tool group addmembers "Everyone Else" Staff
  tool group addmembers Staff "Everyone Else"
  tool group addmembers Managers dave,carol
  tool group addmembers Sales Managers
  tool user create 'p(x)q' "$USER_PASSWORD" --userou="OU=Quorvane Test"
  tool computer create PC7 --computerou="OU=Desks,OU=Quorvane Test"
  # carol's primary group is Sales (a primary group must be one the user is in).
  local rid
  rid=$(ldapsearch -LLL -x -H "ldap://$ADDRESS" -D "Administrator@$DNS_DOMAIN" -w "$ADMIN_PASSWORD" \
        -b "$TEST_OU" '(sAMAccountName=Sales)' objectSid | sed -n 's/^objectSid:: //p' | base64 -d | tail -c 4 | od -An -tu4 | tr -d ' ')
  add_ldif <<EOF
dn: CN=carol,$TEST_OU
changetype: modify
replace: primaryGroupID
primaryGroupID: $rid

dn: CN=p(x)q,$TEST_OU
changetype: modify
replace: userPrincipalName
userPrincipalName: p*(x)\\q@$DNS_DOMAIN
EOF
  # Kerberos to the DC by its address: the LDAP service under that name too.
  tool spn add "ldap/$ADDRESS" 'DC1$'
}

write_environment() {
  cat >"$state/dc.env" <<EOF
QV_DC_ADDRESS=$ADDRESS
QV_DC_REALM=$REALM
QV_DC_DNS_DOMAIN=$DNS_DOMAIN
QV_DC_NETBIOS=$NETBIOS
QV_DC_BASE_DN='$BASE_DN'
QV_DC_ADMIN=Administrator
QV_DC_ADMIN_PASSWORD='$ADMIN_PASSWORD'
QV_DC_USER_PASSWORD='$USER_PASSWORD'
QV_DC_LDAP_URL=ldap://$ADDRESS
QV_DC_LDAPS_URL=ldaps://$ADDRESS
QV_DC_CA_FILE='$state/tls/ca.pem'
QV_DC_KRB5_CONFIG='$state/krb5.conf'
QV_DC_KEYTAB='$state/private/secrets.keytab'
QV_DC_MACHINE_ACCOUNT='DC1\$'
QV_DC_AUTH_LOG='$state/auth_json.log'
EOF
}

stop
rm -rf "$state"
# A start that fails half-way leaves no domain controller running.
trap 'status=$?; [ $status -eq 0 ] || stop; exit $status' EXIT
pristine="$state.pristine.tar"
if [ -f "$pristine" ] && [ "$(cat "$pristine.version" 2>/dev/null)" = "$VERSION:$state" ]; then
  mkdir -p "$state"
  tar -xf "$pristine" -C "$state"
  start_samba
else
  rm -f "$pristine" "$pristine.version"
  provision
  start_samba
  populate
  stop
  # Kept without the logs, so each start begins with an empty audit log.
  tar --warning=no-file-ignored -cf "$pristine" -C "$state" --exclude=./auth_json.log --exclude=./samba.log --exclude=./samba.out \
    --exclude=./samba.pid .
  echo "$VERSION:$state" >"$pristine.version"
  rm -f "$state/auth_json.log"
  start_samba
fi
write_environment
