# The system packages the build and the program need (sourced by the other scripts).
BUILD_PACKAGES=(build-essential cmake qt6-base-dev qt6-base-dev-tools libgl-dev)
TEST_PACKAGES=(curl clang libclang-rt-dev)
