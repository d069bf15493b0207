# Installs the Debian packages named as arguments that are not installed yet.
# Sourced by the other scripts.
ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# What building and testing need.
KIV_BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
KIV_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The boxes' builds (scripts/cross.sh) and qemu-user, which runs their
# programs here for the tests.
KIV_CROSS_PACKAGES=(g++-arm-linux-gnueabihf g++-aarch64-linux-gnu g++-mipsel-linux-gnu qemu-user)
# Debian's package checker, which the package test runs.
KIV_PACKAGE_PACKAGES=(lintian)
# The real tools the programs drive, and the loopback peers the tests use.
KIV_TOOL_PACKAGES=(wget ctorrent aria2 coreutils tar gzip opentracker busybox python3 nodejs
  curl apache2-utils lighttpd lighttpd-modules-lua lighttpd-mod-deflate amule-utils amule-daemon util-linux
  chromium)

# The browser tests' npm packages (pinned in tests/browser/package.json),
# installed once beside them.
ensure_browser_packages() {
  [ -d tests/browser/node_modules/playwright-core ] && [ -d tests/browser/node_modules/axe-core ] && return 0
  # npm comes with some builds of node; Debian's node needs its package.
  command -v npm >/dev/null || ensure_packages npm
  echo "installing: npm packages of tests/browser"
  (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
}
