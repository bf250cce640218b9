#!/bin/sh
# A private OpenLDAP directory for the directory group monitor, in the
# foreground until killed:
#   ldap_server.sh FOLDER PORT
# FOLDER receives the configuration, the database, a test CA (ca.pem) and
# the server's certificate for 127.0.0.1; slapd listens on 127.0.0.1:PORT
# (plain LDAP with StartTLS) and logs connections and operations to
# FOLDER/slapd.log. The tree under dc=test:
#   g     group: h, "Smith, John"        h    group: u
#   c1    group: c2                      c2   group: c1 (a cycle)
#   big   group of 5,000 users           users u, Smith\, John, user0..user4999
#   reader (cn=reader,dc=test, password "reader-secret"): may read the tree
# Groups and users carry sAMAccountName, matched without regard to case.
set -e
folder=$1
port=$2
mkdir -p "$folder/db"
cd "$folder"

# A CA and the server's certificate.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Warderon Test Directory CA" \
  -keyout ca.key -out ca.pem >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout server.key -out server.csr \
  >/dev/null 2>&1
printf 'subjectAltName = IP:127.0.0.1\nextendedKeyUsage = serverAuth\n' >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem >/dev/null 2>&1
chmod 600 server.key

cat >account.schema <<'SCHEMA'
attributetype ( 1.3.6.1.4.1.55555.1.1 NAME 'sAMAccountName'
  EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
  SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )
objectclass ( 1.3.6.1.4.1.55555.2.1 NAME 'warderonAccount' AUXILIARY MAY sAMAccountName )
SCHEMA

cat >slapd.conf <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $folder/account.schema
modulepath /usr/lib/ldap
moduleload back_mdb
pidfile $folder/slapd.pid
TLSCertificateFile $folder/server.pem
TLSCertificateKeyFile $folder/server.key
TLSCACertificateFile $folder/ca.pem
database mdb
maxsize 104857600
suffix "dc=test"
rootdn "cn=admin,dc=test"
rootpw admin-secret
directory $folder/db
index objectClass eq
index cn eq
index sAMAccountName eq
access to attrs=userPassword by self write by anonymous auth by * none
access to * by * read
CONF

{
  printf 'dn: dc=test\nobjectClass: dcObject\nobjectClass: organization\ndc: test\no: test\n\n'
  printf 'dn: cn=reader,dc=test\nobjectClass: person\ncn: reader\nsn: reader\nuserPassword: reader-secret\n\n'
  user() {
    printf 'dn: cn=%s,dc=test\nobjectClass: person\nobjectClass: warderonAccount\ncn: %s\nsn: %s\nsAMAccountName: %s\n\n' \
      "$1" "$2" "$2" "$2"
  }
  user u u
  user 'Smith\, John' 'Smith, John'
  group() {
    name=$1
    shift
    printf 'dn: cn=%s,dc=test\nobjectClass: groupOfNames\nobjectClass: warderonAccount\ncn: %s\nsAMAccountName: %s\n' \
      "$name" "$name" "$name"
    for member in "$@"; do printf 'member: cn=%s,dc=test\n' "$member"; done
    printf '\n'
  }
  group h u
  group g h 'Smith\, John'
  group c1 c2
  group c2 c1
  i=0
  members=""
  while [ $i -lt 5000 ]; do
    user "user$i" "user$i"
    i=$((i + 1))
  done
  printf 'dn: cn=big,dc=test\nobjectClass: groupOfNames\nobjectClass: warderonAccount\ncn: big\nsAMAccountName: big\n'
  i=0
  while [ $i -lt 5000 ]; do printf 'member: cn=user%s,dc=test\n' $i; i=$((i + 1)); done
  printf '\n'
} >data.ldif
slapadd -q -f slapd.conf -l data.ldif >/dev/null 2>&1
echo "ready: ldap://127.0.0.1:$port (CA $folder/ca.pem)"
exec slapd -d 256 -f slapd.conf -h "ldap://127.0.0.1:$port/" >slapd.log 2>&1
