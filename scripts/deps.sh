# The Debian packages each command needs, and install_missing, which installs
# those of them that are missing. Sourced by the run, test and package commands.
#
#   RUNTIME_PACKAGES   what running the program needs beyond the libraries it was
#                      built against: the broker to try it on, the CJK font
#   BUILD_PACKAGES     what building the program and the tools needs
#   TEST_PACKAGES      what building and running the tests (and the benchmarks,
#                      which the test command builds) needs beyond those two
#   PACKAGE_PACKAGES   what making the Debian package needs beyond BUILD_PACKAGES
#
# A package the tests need goes into TEST_PACKAGES; scripts/run never installs it.
# One package a line, so that additions from several branches merge cleanly.

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

RUNTIME_PACKAGES=(
  mosquitto
  mosquitto-clients
  fonts-noto-cjk
  qt6-translations-l10n
  libwslay1
)

BUILD_PACKAGES=(
  cmake
  ninja-build
  g++
  pkg-config
  qt6-base-dev
  qt6-charts-dev
  libqt6opengl6-dev
  libssl-dev
  libwslay-dev
  nlohmann-json3-dev
)

TEST_PACKAGES=(
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  # the sanitizers' and the fuzzers' compiler, and its run-time libraries
  clang
  libclang-rt-14-dev
  # a faster build: a compiler cache kept between runs, a faster linker
  ccache
  mold
  # what the transport tests start: an HTTP CONNECT proxy, a SOCKS5 proxy and the
  # PAM module that gives its test user a password, RabbitMQ (its web MQTT plugin)
  tinyproxy
  dante-server
  libpam-pwdfile
  rabbitmq-server
  # the broker checks' tests also start ActiveMQ, with the MQTT codec its MQTT transport needs
  activemq
  libmqtt-client-java
)

# node and npm for the brokers with WebSocket listeners (Aedes, which the tests
# install from npm), unless a node is there already.
install_node() {
  command -v node >/dev/null 2>&1 || install_missing nodejs
  command -v npm >/dev/null 2>&1 || install_missing npm
}

PACKAGE_PACKAGES=(
  # cpack's Debian generator reads the programs with file and dpkg-shlibdeps
  file
  dpkg-dev
)
