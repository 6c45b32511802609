#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when any is missing: the
# compiler and build tools, GoogleTest and Google Benchmark, libjpeg, libyuv (the conversion
# benchmark's reference), ffmpeg (the tests read files back with ffprobe), Xvfb (the viewer's
# end-to-end run), pkg-config (the install check builds a consumer with it), Qt 6 (with its
# image-format plugins: the viewer saves TIFF snapshots), libdc1394 with GStreamer's dc1394src and
# gst-launch (independent clients of the fake FireWire kernel), GStreamer's development files and
# base/good plugins (the kestrix plugin and its tests), and pybind11, numpy and pytest (the Python
# module), libtiff, libavformat/libavcodec/libswscale (the recording formats), tifffile and Pillow
# (their tests read files back), openbox (a window manager for the end-to-end runs). .ci/run installs
# the same list.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev libjpeg62-turbo-dev libyuv-dev
          ffmpeg xvfb pkgconf qt6-base-dev qt6-image-formats-plugins libdc1394-dev
          libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
          gstreamer1.0-plugins-base gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good
          gstreamer1.0-plugins-bad
          pybind11-dev python3-dev python3-numpy python3-pytest
          libtiff-dev libavformat-dev libavcodec-dev libswscale-dev python3-tifffile python3-pil openbox)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
