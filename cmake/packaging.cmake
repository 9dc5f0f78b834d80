# Installers: the Windows MSI (target `msi`, built with wixl) and the Debian
# package (target `deb`, CPack). Both carry browser manifests made here, at
# build time, from the extension ids an administrator configures.

set(TPH_VERSION ${PROJECT_VERSION})
set(TPH_PACKAGE_VERSION ${TPH_VERSION} CACHE STRING "Version of the installer packages")
set(TPH_CHROMIUM_EXTENSION_IDS "" CACHE STRING
    "Chrome, Chromium and Edge extension ids allowed to call the host (a ;-list)")
set(TPH_FIREFOX_EXTENSION_IDS "" CACHE STRING
    "Firefox extension ids allowed to call the host (a ;-list)")
# The test extensions' ids, for packages that the test suites install. A
# release built with them would let any copy of the test extension print,
# and no vendor's own: packages without ids of their own do not build.
option(TPH_TEST_EXTENSION_IDS "Packages for the test extensions (never for a release)" OFF)
if(TPH_TEST_EXTENSION_IDS AND NOT TPH_CHROMIUM_EXTENSION_IDS AND NOT TPH_FIREFOX_EXTENSION_IDS)
  set(TPH_CHROMIUM_EXTENSION_IDS hlaiogiadpafhegnlfidcjbkklfokidl)
  set(TPH_FIREFOX_EXTENSION_IDS print-host-test@tavelin.example)
endif()
set(TPH_NO_IDS_MESSAGE "No extension ids for the packages: configure with -DTPH_CHROMIUM_EXTENSION_IDS=<id>[;<id>...] and/or -DTPH_FIREFOX_EXTENSION_IDS=<id>[;<id>...] (the ids of the extensions that may call the host), or -DTPH_TEST_EXTENSION_IDS=ON for a test build.")
if(TPH_CHROMIUM_EXTENSION_IDS OR TPH_FIREFOX_EXTENSION_IDS)
  add_custom_target(tph_package_ids)
  file(WRITE ${CMAKE_BINARY_DIR}/cpack_guard.cmake "# Extension ids are configured: packages may be built.\n")
else()
  add_custom_target(tph_package_ids
    COMMAND ${CMAKE_COMMAND} -E echo "${TPH_NO_IDS_MESSAGE}"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
  # CPack reads this before it builds any package, whichever way it is
  # started (the deb target, the package target, or cpack itself).
  file(WRITE ${CMAKE_BINARY_DIR}/cpack_guard.cmake "message(FATAL_ERROR \"${TPH_NO_IDS_MESSAGE}\")\n")
endif()

# json_array(OUT PREFIX SUFFIX ITEMS...): ["PREFIXitemSUFFIX", ...]
function(json_array out prefix suffix)
  set(items "")
  foreach(id IN LISTS ARGN)
    list(APPEND items "\"${prefix}${id}${suffix}\"")
  endforeach()
  list(JOIN items ", " joined)
  set(${out} "[${joined}]" PARENT_SCOPE)
endfunction()
json_array(TPH_CHROMIUM_ORIGINS_JSON "chrome-extension://" "/" ${TPH_CHROMIUM_EXTENSION_IDS})
json_array(TPH_FIREFOX_IDS_JSON "" "" ${TPH_FIREFOX_EXTENSION_IDS})

set(TPH_MANIFEST_DIR ${CMAKE_BINARY_DIR}/manifests)

if(WIN32)
  # Chrome and Firefox on Windows resolve a relative path against the
  # manifest's own folder, which is where the host is installed.
  set(TPH_MANIFEST_HOST_PATH tavelin-print-host.exe)
  configure_file(packaging/manifests/chromium.json.in ${TPH_MANIFEST_DIR}/com.tavelin.print.json @ONLY)
  configure_file(packaging/manifests/firefox.json.in ${TPH_MANIFEST_DIR}/com.tavelin.print.firefox.json @ONLY)
  find_program(TPH_WIXL wixl)
  set(msi ${CMAKE_BINARY_DIR}/tavelin-print-host-${TPH_PACKAGE_VERSION}-x64.msi)
  add_custom_command(
    OUTPUT ${msi}
    # wixl finds sources relative to its working folder (the x64 package
    # declaration is its -a).
    COMMAND ${TPH_WIXL} -a x64 -D Version=${TPH_PACKAGE_VERSION} -D HostExe=$<TARGET_FILE_NAME:tavelin-print-host>
            -D ChromeManifest=manifests/com.tavelin.print.json
            -D FirefoxManifest=manifests/com.tavelin.print.firefox.json
            -o ${msi} ${CMAKE_SOURCE_DIR}/packaging/windows/tavelin-print-host.wxs
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS tph_package_ids tavelin-print-host ${CMAKE_SOURCE_DIR}/packaging/windows/tavelin-print-host.wxs
            ${TPH_MANIFEST_DIR}/com.tavelin.print.json ${TPH_MANIFEST_DIR}/com.tavelin.print.firefox.json
    VERBATIM)
  add_custom_target(msi DEPENDS ${msi})
  return()
endif()

# Debian: the host under /usr/lib/tavelin-print-host, system-wide manifests
# for Chromium, Google Chrome and Firefox.
set(TPH_MANIFEST_HOST_PATH /usr/lib/tavelin-print-host/tavelin-print-host)
configure_file(packaging/manifests/chromium.json.in ${TPH_MANIFEST_DIR}/chromium/com.tavelin.print.json @ONLY)
configure_file(packaging/manifests/firefox.json.in ${TPH_MANIFEST_DIR}/firefox/com.tavelin.print.json @ONLY)
set(perms_file OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS tavelin-print-host RUNTIME DESTINATION lib/tavelin-print-host COMPONENT host)
install(FILES ${TPH_MANIFEST_DIR}/chromium/com.tavelin.print.json PERMISSIONS ${perms_file}
        DESTINATION /etc/chromium/native-messaging-hosts COMPONENT host)
install(FILES ${TPH_MANIFEST_DIR}/chromium/com.tavelin.print.json PERMISSIONS ${perms_file}
        DESTINATION /etc/opt/chrome/native-messaging-hosts COMPONENT host)
install(FILES ${TPH_MANIFEST_DIR}/firefox/com.tavelin.print.json PERMISSIONS ${perms_file}
        DESTINATION lib/mozilla/native-messaging-hosts COMPONENT host)
# A fleet's policy, as an example: the host reads fleet.json beside it, which
# only an administrator writes and the package never ships or touches.
install(FILES packaging/debian/fleet.json.example PERMISSIONS ${perms_file}
        DESTINATION /etc/tavelin-print COMPONENT host)
install(FILES packaging/debian/copyright PERMISSIONS ${perms_file}
        DESTINATION share/doc/tavelin-print-host COMPONENT host)
install(FILES packaging/debian/lintian-overrides PERMISSIONS ${perms_file}
        DESTINATION share/lintian/overrides RENAME tavelin-print-host COMPONENT host)
# Debian wants the changelog compressed, reproducibly.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
add_custom_target(deb_changelog DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz PERMISSIONS ${perms_file}
        DESTINATION share/doc/tavelin-print-host COMPONENT host)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavelin-print-host)
set(CPACK_PACKAGE_VERSION ${TPH_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Tavelin <support@tavelin.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavelin <support@tavelin.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tavelin.example/print-host")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "label print host for web browser extensions")
# CPack puts the summary on the first line itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A native-messaging host that lets a browser extension print PNG labels on
the user's CUPS queues at their physical size, at most once per print
attempt: every attempt is recorded durably before and after it reaches the
print system. Registered for Chromium, Google Chrome and Firefox.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_guard.cmake)
include(CPack)
add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS tph_package_ids tavelin-print-host deb_changelog
  VERBATIM)
