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

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev nlohmann-json3-dev)
RUNTIME_PACKAGES=(mosquitto mosquitto-clients fonts-noto-cjk qt6-translations-l10n)
# The brokers the broker checks' tests run against besides mosquitto (Aedes comes from npm);
# a test whose broker is missing skips with the reason.
CHECK_BROKER_PACKAGES=(nodejs npm rabbitmq-server activemq libmqtt-client-java)
