# Read by cpack: dpkg-shlibdeps resolves the library's dependencies among the
# installed libraries of the package's architecture (arm64 ones for an arm64
# package built on amd64).
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
