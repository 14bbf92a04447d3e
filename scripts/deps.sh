# Installs the Debian packages named in "$@" that are not installed yet.
# Sourced by the run and test commands.
install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libwslay-dev)
RUNTIME_PACKAGES=(mosquitto mosquitto-clients fonts-noto-cjk qt6-translations-l10n libwslay1)
# What the transport tests start: an HTTP CONNECT proxy, a SOCKS5 proxy and the
# PAM module that gives its test user a password, RabbitMQ (its web MQTT
# plugin); node and npm for the brokers with WebSocket listeners (Aedes from
# npm), unless a node is there already.
TEST_PACKAGES=(tinyproxy dante-server libpam-pwdfile rabbitmq-server)
install_node() {
  command -v node >/dev/null 2>&1 || install_missing nodejs
  command -v npm >/dev/null 2>&1 || install_missing npm
}
