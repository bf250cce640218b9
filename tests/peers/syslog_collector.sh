#!/bin/sh
# A private rsyslog collector in the foreground until killed:
#   syslog_collector.sh FOLDER TCP-PORT TLS-PORT CA CERT KEY [RELP-PORT RELP-TLS-PORT]
# takes syslog over TCP (plain) and TLS (this certificate) on 127.0.0.1,
# octet-counted or not, and over RELP, plain and TLS (clients must show a
# certificate of CA, as imrelp asks), and writes what it parsed of each message as one
# line of FOLDER/parsed.log:
#   host=...|tag=...|app=...|sev=N|fac=N|msg=...|sd=...
# and of FOLDER/timed.log (the time the message carries):
#   time=...|msg=...|sd=...
set -e
folder=$1
mkdir -p "$folder/work"
cat >"$folder/rsyslog.conf" <<CONF
global(workDirectory="$folder/work"
       DefaultNetstreamDriverCAFile="$4"
       DefaultNetstreamDriverCertFile="$5"
       DefaultNetstreamDriverKeyFile="$6")
module(load="imtcp")
template(name="fields" type="string"
         string="host=%hostname%|tag=%syslogtag%|app=%app-name%|sev=%syslogseverity%|fac=%syslogfacility%|msg=%msg%|sd=%structured-data%\\n")
template(name="timed" type="string"
         string="time=%timereported:::date-rfc3339%|msg=%msg%|sd=%structured-data%\\n")
ruleset(name="collect") {
  action(type="omfile" file="$folder/parsed.log" template="fields")
  action(type="omfile" file="$folder/timed.log" template="timed")
}
input(type="imtcp" address="127.0.0.1" port="$2" ruleset="collect")
input(type="imtcp" address="127.0.0.1" port="$3" ruleset="collect"
      streamDriver.name="gtls" streamDriver.mode="1" streamDriver.authMode="anon")
CONF
if [ -n "${7:-}" ]; then
  cat >>"$folder/rsyslog.conf" <<CONF
module(load="imrelp")
input(type="imrelp" address="127.0.0.1" port="$7" ruleset="collect")
input(type="imrelp" address="127.0.0.1" port="$8" ruleset="collect"
      tls="on" tls.caCert="$4" tls.myCert="$5" tls.myPrivKey="$6" tls.authMode="certvalid")
CONF
fi
echo "ready"
exec rsyslogd -n -f "$folder/rsyslog.conf" -i "$folder/rsyslogd.pid"
