# Installation and the Debian package: the daemon and orvane-settings in sbin, the manual
# pages, the service files, the module's version file and the settings file. The daemon reads
# its settings and version from fixed paths, so those two have absolute destinations (still
# under DESTDIR).
include(GNUInstallDirs)

set(ORVANED_CONFIG_DIR /opt/orvane/etc)
set(ORVANED_INIT_DIR /etc/init.d
    CACHE PATH "Directory of the init script (absolute, or relative to the prefix)")
set(ORVANED_SYSTEMD_UNIT_DIR lib/systemd/system
    CACHE PATH "Directory of the systemd unit (absolute, or relative to the prefix)")

# Without DESTDIR an installation writes to this machine's own /opt, /etc and /var: say so first.
set(destination_code [=[
  if("$ENV{DESTDIR}" STREQUAL "")
    set(places "${CMAKE_INSTALL_PREFIX}")
    foreach(dir "@ORVANED_INIT_DIR@" "@ORVANED_SYSTEMD_UNIT_DIR@" "@ORVANED_CONFIG_DIR@" /var/orvane)
      if(IS_ABSOLUTE "${dir}")
        string(APPEND places ", ${dir}")
      endif()
    endforeach()
    message(STATUS "Installing on this machine (no DESTDIR): ${places}")
  endif()
]=])
string(CONFIGURE "${destination_code}" destination_code @ONLY)
install(CODE "${destination_code}" COMPONENT runtime)

install(TARGETS orvaned orvane-settings RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
        COMPONENT runtime)
# The static programs' OpenSSL (see CMakeLists.txt), which needs only the C library.
if(ORVANED_STATIC_LIBSTDCXX AND ORVANED_HAVE_TLS)
  foreach(library ${OPENSSL_SSL_LIBRARY} ${OPENSSL_CRYPTO_LIBRARY})
    get_filename_component(library ${library} REALPATH)
    install(FILES ${library} DESTINATION lib/orvaned COMPONENT runtime)
  endforeach()
endif()
install(FILES packaging/orvaned.8 packaging/orvane-settings.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT runtime)

# ATI3 and the status files show this file: the project's version.
configure_file(packaging/version.in packaging/version @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/version DESTINATION ${ORVANED_CONFIG_DIR}
        COMPONENT runtime)
# The sample settings, from which the package's postinst creates the live file.
install(FILES packaging/settings DESTINATION ${CMAKE_INSTALL_DATADIR}/orvaned COMPONENT runtime)

# Debian's documentation files: the copyright, the changelog (compressed for the package by
# deb_prebuild.cmake) and lintian's overrides, each with the reason for it.
configure_file(packaging/changelog.in packaging/changelog @ONLY)
install(FILES packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvaned COMPONENT runtime)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME orvaned COMPONENT runtime)

# The service files name the daemon by its installed path, which is known only when
# installing (cmake --install --prefix, CPack's own prefix), so they are written then.
set(service_code [=[
  set(sbin "@CMAKE_INSTALL_SBINDIR@")
  if(NOT IS_ABSOLUTE "${sbin}")
    set(sbin "${CMAKE_INSTALL_PREFIX}/${sbin}")
  endif()
  # One staging directory per destination, so that installs to different places can run at
  # the same time.
  string(MD5 key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
  set(staged "@CMAKE_CURRENT_BINARY_DIR@/packaging/installed/${key}")
  foreach(pair "orvaned.service:unit/orvaned.service" "orvaned.init:init/orvaned")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 target)
    file(READ "@CMAKE_CURRENT_SOURCE_DIR@/packaging/${source}" text)
    string(REPLACE "/usr/sbin/orvaned" "${sbin}/orvaned" text "${text}")
    file(WRITE "${staged}/${target}" "${text}")
  endforeach()
  set(unit_dir "@ORVANED_SYSTEMD_UNIT_DIR@")
  if(NOT IS_ABSOLUTE "${unit_dir}")
    set(unit_dir "${CMAKE_INSTALL_PREFIX}/${unit_dir}")
  endif()
  set(init_dir "@ORVANED_INIT_DIR@")
  if(NOT IS_ABSOLUTE "${init_dir}")
    set(init_dir "${CMAKE_INSTALL_PREFIX}/${init_dir}")
  endif()
  file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${staged}/unit/orvaned.service")
  file(INSTALL DESTINATION "${init_dir}" TYPE PROGRAM FILES "${staged}/init/orvaned")
]=])
string(CONFIGURE "${service_code}" service_code @ONLY)
install(CODE "${service_code}" COMPONENT runtime)

# The machine's own state: the live settings file, written only where none exists since AT&W
# and orvane-settings keep the operator's values in it, and the directory of the status files
# (the daemon creates none). A component of its own, which the package leaves out: its
# postinst creates both instead.
set(settings_code [=[
  set(live "$ENV{DESTDIR}@ORVANED_CONFIG_DIR@/settings")
  if(EXISTS "${live}")
    message(STATUS "Keeping: ${live}")
  else()
    file(INSTALL DESTINATION "@ORVANED_CONFIG_DIR@" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "@CMAKE_CURRENT_SOURCE_DIR@/packaging/settings")
  endif()
]=])
string(CONFIGURE "${settings_code}" settings_code @ONLY)
install(CODE "${settings_code}" COMPONENT state)
install(DIRECTORY DESTINATION /var/orvane COMPONENT state)

# cpack -G DEB
set(CPACK_PACKAGE_NAME orvaned)
set(CPACK_PACKAGE_VENDOR orvaned)
# A build directory configured before keeps the former default, which lintian refuses.
if(ORVANED_PACKAGE_CONTACT STREQUAL "orvaned maintainers <root@localhost>")
  unset(ORVANED_PACKAGE_CONTACT CACHE)
endif()
set(ORVANED_PACKAGE_CONTACT "orvaned developers <orvaned@example.org>"
    CACHE STRING "Maintainer of the Debian package, as Name <address>")
set(CPACK_PACKAGE_CONTACT "${ORVANED_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dial-up modem on a serial port, calling over TCP (IPv4 and IPv6)")
# One paragraph: CPack indents each line of it by one space, as the control file wants.
set(CPACK_PACKAGE_DESCRIPTION
    "orvaned makes a serial port behave like a dial-up modem driven by AT commands.\nA dialled number stands for an IPv4 address, or through the substitution\nscript for an IPv6 address or a host name; the call is a TCP connection,\nencrypted with TLS when the script says so, to the daemon there, which rings\nits own serial line.")
# cpack makes the Debian package and the router's tarball (packaging/cpack_project.cmake).
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_SOURCE_DIR}/packaging/cpack_project.cmake")
set(CPACK_ORVANED_ROUTER_FILE_NAME
    "orvaned-${PROJECT_VERSION}-router-${CMAKE_SYSTEM_PROCESSOR}")
# cpack writes the package and its staging tree here, wherever it is run from.
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};runtime;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(ORVANED_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ORVANED_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libc-ares2")
endif()
# Encrypted calls open libssl.so.3 when the settings name TLS files (dlopen), which
# dpkg-shlibdeps cannot see. Plain calls run without it, hence a recommendation.
if(ORVANED_HAVE_TLS AND NOT ORVANED_STATIC_LIBSTDCXX)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssl3")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/conffiles;${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm;${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_ORVANED_OBJCOPY "${CMAKE_OBJCOPY}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb_prebuild.cmake")
include(CPack)
