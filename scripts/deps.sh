#!/usr/bin/env bash
# Installs what building and testing need and a fresh machine may lack: sox, ffmpeg
# and libsndfile's tools (the tests check that what we write is read by programs
# nobody here wrote, and read takes that they wrote), groff and man (the tests render
# the manual page and look it up as an installed one), and Debian's Chromium with its
# driver and python's Selenium (a test opens the HTML report in a real browser).
set -euo pipefail
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v sox >/dev/null || missing+=(sox)
command -v ffmpeg >/dev/null || missing+=(ffmpeg)
command -v sndfile-info >/dev/null || missing+=(sndfile-programs)
command -v python3 >/dev/null || missing+=(python3)
command -v strace >/dev/null || missing+=(strace)
command -v groff >/dev/null || missing+=(groff-base)
command -v man >/dev/null || missing+=(man-db)
[ -x /usr/bin/chromium ] || missing+=(chromium)
[ -x /usr/bin/chromedriver ] || missing+=(chromium-driver)
# python3-selenium serves Debian's own python, which another python3 first on the PATH
# may not be.
/usr/bin/python3 -c 'import selenium' 2>/dev/null || missing+=(python3-selenium)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
