#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any
# is missing. Safe to run again.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config binutils
          libgtest-dev libgmock-dev libbenchmark-dev
          libgsm1-dev libcli11-dev nlohmann-json3-dev libsndfile1-dev
          sox espeak-ng ffmpeg
          libsqlite3-dev libcpp-httplib-dev  # talo-recorder: its call index, its web console
          libssl-dev  # the console's HTTPS and talo-recorder make-cert
          libpng-dev  # talo-recorder: a received fax shown as an image
          libogg-dev  # talo-recorder: the archive's Opus packets laid in Ogg pages, and read back
          libopusfile-dev  # talo-recorder's tests: its Ogg Opus files read by another reader
          libsodium-dev  # talo-recorder: password hashes (argon2id), session tokens, the audit trail's chain
          libzip-dev  # talo-recorder: the console's export of recordings as one ZIP
          libpq-dev postgresql-15  # talo-recorder: the central index; the tests start a real server
          chromium chromium-driver python3-selenium  # the recorder's console tested in a real browser
          libpcap-dev  # the VoIP capture driver reads interfaces and capture files
          sip-tester  # SIPp: real SIP calls on loopback for the capture driver's tests
          libspandsp-dev libopus-dev  # the VoIP driver's codecs: G.711 and G.722, Opus; the recorder's archive
          libcurl4-openssl-dev  # talo-recorder: the object-store client (HTTP, AWS V4 signing by libcurl)
          ceph-mon ceph-osd radosgw  # the object-store tests start a real S3 gateway
          curl  # the bench scripts talk to the console and the S3 gateway (AWS V4 signing)
          dpkg-dev file  # cpack's Debian package: dpkg-shlibdeps for its dependencies
          clang libclang-rt-14-dev llvm)  # libFuzzer and its symbolizer
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
