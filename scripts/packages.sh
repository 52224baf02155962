# The system packages the build and the program need (sourced by the other scripts).
BUILD_PACKAGES=(build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev libasio-dev
                libssl-dev)
# Building the Debian package: dpkg-shlibdeps (dpkg-dev) computes the dependencies, and CPack
# finds the programs to look at with `file`.
PACKAGE_PACKAGES=(dpkg-dev file)
# The end-to-end suite (tests/e2e/): nginx as origin server, curl and headless Chromium as
# clients, a virtual X server with xwininfo and ImageMagick for the window test, wrk for
# pipelining.
E2E_PACKAGES=(nginx openssl chromium libnss3-tools xvfb x11-utils imagemagick wrk)
# nodejs runs npm's HAR validator (scripts/test.sh installs it).
TEST_PACKAGES=(curl clang libclang-rt-dev "${PACKAGE_PACKAGES[@]}" desktop-file-utils
               nodejs "${E2E_PACKAGES[@]}")
