#!/bin/bash
# A private ActiveMQ broker (Debian packages activemq and libmqtt-client-java,
# whose MQTT codec the broker's MQTT transport needs) on 127.0.0.1 for the
# broker checks: activemq.sh PORT DIR starts it in the background with an MQTT
# listener on PORT and no other, its files in DIR, no persistence,
# and returns once the MQTT port accepts; "activemq.sh stop DIR" ends it.
set -eu
if [ "$1" = stop ]; then
  kill "$(cat "$2/activemq.pid")" 2>/dev/null || true
  exit 0
fi
port=$1 dir=$2
home=/usr/share/activemq
[ -f "$home/bin/activemq.jar" ] || { echo "ActiveMQ is not installed (Debian package activemq)" >&2; exit 3; }
[ -f /usr/share/java/mqtt-client.jar ] ||
  { echo "the MQTT codec is not installed (Debian package libmqtt-client-java)" >&2; exit 3; }
mkdir -p "$dir/data"
cat > "$dir/activemq.xml" <<XML
<beans xmlns="http://www.springframework.org/schema/beans"
  xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
  xsi:schemaLocation="http://www.springframework.org/schema/beans http://www.springframework.org/schema/beans/spring-beans-2.0.xsd
  http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd">
  <broker xmlns="http://activemq.apache.org/schema/core" useJmx="false" persistent="false"
          brokerName="tarnwick$port" dataDirectory="$dir/data">
    <transportConnectors>
      <transportConnector name="mqtt" uri="mqtt://127.0.0.1:$port"/>
    </transportConnectors>
  </broker>
</beans>
XML
cp /etc/activemq/instances-available/main/log4j2.properties "$dir/" 2>/dev/null || true
jars=/usr/share/java/mqtt-client.jar:/usr/share/java/hawtdispatch.jar:/usr/share/java/hawtdispatch-transport.jar
java -Xms64M -Xmx256M --add-opens java.base/java.lang=ALL-UNNAMED --add-opens java.base/java.util=ALL-UNNAMED \
  --add-opens java.base/java.net=ALL-UNNAMED --add-opens java.base/java.util.concurrent=ALL-UNNAMED \
  -Dactivemq.classpath="$jars" -Dactivemq.home="$home" -Dactivemq.base="$dir" -Dactivemq.conf="$dir" \
  -Dactivemq.data="$dir/data" -Djava.io.tmpdir="$dir" \
  -jar "$home/bin/activemq.jar" start "xbean:file:$dir/activemq.xml" < /dev/null > "$dir/activemq.out" 2>&1 &
echo $! > "$dir/activemq.pid"
for _ in $(seq 1 240); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && exit 0
  kill -0 "$(cat "$dir/activemq.pid")" 2>/dev/null || break
  sleep 0.5
done
echo "activemq did not start: $(tail -n 5 "$dir/activemq.out")" >&2
exit 1
