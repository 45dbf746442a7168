# The Debian package (tools/package.sh): the bundle in /usr/lib/lv2, where
# every host looks, with a copyright file and a changelog, built by CPack.
# The version is the project's VERSION; the dependencies are computed from
# the library by dpkg-shlibdeps.

set(_zq_doc_dir share/doc/zwirbelton-quorvel)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${_zq_doc_dir})

# The changelog carries the project's version, dated by SOURCE_DATE_EPOCH
# (tools/package.sh sets it to the last commit), gzip'ed without a name or
# time stamp in the header so that the package comes out the same each time.
string(TIMESTAMP ZQ_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nf changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_target(zq_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${_zq_doc_dir})

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
  message(FATAL_ERROR "No Debian architecture for ${CMAKE_SYSTEM_PROCESSOR}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zwirbelton-quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "Zwirbelton Developers <dev@zwirbelton.audio>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://zwirbelton.audio/")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "diffused feedback delay LV2 plugin")
set(CPACK_PACKAGE_DESCRIPTION "A mono-in, stereo-out feedback delay for LV2 hosts. Each repeat passes a
lowpass, a low-cut and four damped allpass diffusers, so it comes back darker
and more smeared than the last; a second tap reads at a fraction of the delay
time. Changing the delay time glides the read head like tape, bending the
pitch of the echoes. Six factory presets are included.")
# dpkg-shlibdeps looks for the libraries of the package's architecture, also
# when the package is cross-built.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake)
include(CPack)
