# Read by cpack once for each generator. The tarball is for routers without dpkg: the same
# files as the Debian package, unpacked at / (tar -xzf FILE -C /); it holds the sample settings
# but not the live settings file, which an update must not replace (docs/ROUTER.md).
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_ORVANED_ROUTER_FILE_NAME}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
