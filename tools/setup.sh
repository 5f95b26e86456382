#!/bin/bash
# Installs what the build, the release packages, the tests and the demo need on Debian 12 (run as
# root); installs only what is missing.
set -euo pipefail
# osslsigncode signs a release when a key is named (cmake/signing.cmake); the release test signs
# with a throwaway certificate made by openssl, on a SoftHSM token through the PKCS#11 engine too,
# and reads the winget manifests with python3-yaml.
packages=(cmake ninja-build g++ make mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth nsis
          strip-nondeterminism python3 googletest imagemagick x11-apps clang-format clang
          libclang-rt-14-dev indi-bin socat osslsigncode openssl softhsm2
          libengine-pkcs11-openssl python3-yaml)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all ${#packages[@]} packages present"
    exit 0
fi
echo "setup: installing ${#missing[@]} packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}" |
    while IFS= read -r line; do
        case "$line" in
            Unpacking*|Setting\ up*) printf '\r\033[Ksetup: %s' "${line:0:70}" ;;
        esac
    done
printf '\r\033[Ksetup: done\n'
