#!/bin/bash
# A private RabbitMQ node with its MQTT plugin on 127.0.0.1 for the broker
# checks (Debian package rabbitmq-server): rabbitmq.sh PORT DIR [WSPORT] starts
# it in the background, its files in DIR, with MQTT over WebSocket (the web
# MQTT plugin, path /ws) on WSPORT when given; "rabbitmq.sh stop DIR" ends it.
set -eu
if [ "$1" = stop ]; then
  kill "$(cat "$2/beam.pid")" 2>/dev/null || true   # the node itself (it writes its pid there)
  exit 0
fi
port=$1 dir=$2
command -v rabbitmq-server >/dev/null || { echo "rabbitmq-server is not installed (Debian package rabbitmq-server)" >&2; exit 3; }
mkdir -p "$dir"
name="tarnwick$port@localhost"
echo "$name" > "$dir/nodename"
wsport=${3:-}
cat > "$dir/rabbitmq.conf" <<CONF
listeners.tcp = none
mqtt.listeners.tcp.default = 127.0.0.1:$port
mqtt.allow_anonymous = true
loopback_users = none
management.tcp.port = $((port + 2))
CONF
if [ -n "$wsport" ]; then
  echo "web_mqtt.tcp.ip = 127.0.0.1" >> "$dir/rabbitmq.conf"
  echo "web_mqtt.tcp.port = $wsport" >> "$dir/rabbitmq.conf"
  echo "[rabbitmq_mqtt,rabbitmq_web_mqtt]." > "$dir/enabled_plugins"
else
  echo "[rabbitmq_mqtt]." > "$dir/enabled_plugins"
fi
export RABBITMQ_NODENAME="$name" RABBITMQ_CONFIG_FILE="$dir/rabbitmq" RABBITMQ_ENABLED_PLUGINS_FILE="$dir/enabled_plugins" \
  RABBITMQ_MNESIA_BASE="$dir/mnesia" RABBITMQ_LOG_BASE="$dir/log" RABBITMQ_DIST_PORT=$((port + 3)) \
  RABBITMQ_FEATURE_FLAGS_FILE="$dir/feature_flags" RABBITMQ_PLUGINS_EXPAND_DIR="$dir/plugins" \
  RABBITMQ_PID_FILE="$dir/beam.pid" ERL_EPMD_ADDRESS=127.0.0.1 HOME="$dir" \
  RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-setcookie tarnwick$port -kernel inet_dist_use_interface {127,0,0,1}"
# Run as root, rabbitmq-server becomes the rabbitmq user: its files must be that user's.
if [ "$(id -u)" = 0 ] && id rabbitmq >/dev/null 2>&1; then chown -R rabbitmq: "$dir"; fi
rabbitmq-server < /dev/null > "$dir/server.out" 2>&1 &
# Ready once its MQTT listener accepts.
for _ in $(seq 1 120); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null &&
    { [ -z "$wsport" ] || (exec 3<>"/dev/tcp/127.0.0.1/$wsport") 2>/dev/null; } && exit 0
  kill -0 $! 2>/dev/null || break   # the node ended
  sleep 0.5
done
echo "rabbitmq did not start: $(tail -n 5 "$dir/server.out")" >&2
exit 1
