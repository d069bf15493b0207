# The Debian package (`cpack` in a build tree): the installation root in
# /opt/kiv, services that run it as www-data, maintainer scripts that hand
# www-data exactly what it writes. Built for the compiler's architecture, so
# a cross build tree makes the package of its target.

# Only the package installs these: a plain `cmake --install` leaves them
# out (they are outside the installation root, or drive it as a service).
install(PROGRAMS scripts/webserver.sh package/kiv-service DESTINATION lib
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES scripts/webserver.lua scripts/lock-directories DESTINATION lib
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES package/kiv.service package/kiv-web.service DESTINATION /lib/systemd/system
        COMPONENT system EXCLUDE_FROM_ALL)
install(PROGRAMS package/kiv.init DESTINATION /etc/init.d RENAME kiv
        COMPONENT system EXCLUDE_FROM_ALL)
# The owner's settings as a new installation starts with them: the postinst
# copies each into place where it is missing, never over an existing one,
# so that no upgrade asks about them or replaces them (kiv.conf and
# /etc/default/kiv are no conffiles: those of an earlier release stay as
# they are).
install(FILES kiv.conf DESTINATION lib/default COMPONENT system EXCLUDE_FROM_ALL)
install(FILES package/kiv.default DESTINATION lib/default RENAME kiv
        COMPONENT system EXCLUDE_FROM_ALL)

# The package's version: the programs' own (the daemon's), and the
# package's revision, which counts up with every release of the package,
# also one whose programs keep their version.
set(kiv_package_revision 2)
file(STRINGS daemon/daemon.h kiv_version_line REGEX "kVersion = \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" kiv_version "${kiv_version_line}")
set(kiv_package_version ${kiv_version}-${kiv_package_revision})

# What Debian asks of every package's documentation (with a revision, the
# package's changelog is changelog.Debian).
configure_file(package/doc/changelog.in package/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/package/changelog.Debian)
install(FILES package/doc/copyright ${PROJECT_BINARY_DIR}/package/changelog.Debian.gz
        DESTINATION /usr/share/doc/kiv COMPONENT system EXCLUDE_FROM_ALL)
install(FILES package/lintian-overrides DESTINATION /usr/share/lintian/overrides RENAME kiv
        COMPONENT system EXCLUDE_FROM_ALL)

# Debian's name for the architecture the programs are compiled for.
if(CMAKE_CXX_COMPILER_TARGET)
  set(kiv_target ${CMAKE_CXX_COMPILER_TARGET})
else()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                  OUTPUT_VARIABLE kiv_target OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(kiv_target MATCHES "^x86_64-")
  set(kiv_deb_arch amd64)
elseif(kiv_target MATCHES "^aarch64-")
  set(kiv_deb_arch arm64)
elseif(kiv_target MATCHES "^arm.*-gnueabihf$")
  set(kiv_deb_arch armhf)
elseif(kiv_target MATCHES "^arm.*-gnueabi$")
  set(kiv_deb_arch armel)
elseif(kiv_target MATCHES "^mipsel-")
  set(kiv_deb_arch mipsel)
elseif(kiv_target MATCHES "^mips64el-")
  set(kiv_deb_arch mips64el)
elseif(kiv_target MATCHES "^i[3-6]86-")
  set(kiv_deb_arch i386)
else()
  message(FATAL_ERROR "No Debian architecture known for the compiler's target ${kiv_target}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${kiv_version})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${kiv_package_revision})
set(CPACK_PACKAGE_CONTACT "${KIV_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "kiv developers <${KIV_CONTACT}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web-driven download manager for small Linux boxes")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Starts and watches HTTP, FTP, BitTorrent and eDonkey downloads, manages the
download folder and takes uploads, all from a page served by the box's own
web server. Installed in /opt/kiv; runs as www-data.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kiv_deb_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The web server with its gate script and compression, and what the
# programs run through the shell: wget, htpasswd (bin/htpasswd wraps it);
# the maintainer scripts' deb-systemd-helper, update-rc.d and invoke-rc.d.
# BitTorrent (ctorrent; aria2 for magnet links) is recommended; eDonkey,
# which brings a desktop's libraries, only suggested: without them only
# those commands fail.
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS lighttpd lighttpd-modules-lua lighttpd-mod-deflate
       wget apache2-utils "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ctorrent, aria2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "amule-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/package/postinst ${PROJECT_SOURCE_DIR}/package/prerm
    ${PROJECT_SOURCE_DIR}/package/postrm ${PROJECT_SOURCE_DIR}/package/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Absolute destinations (/etc, /lib/systemd) need the DESTDIR staging.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /opt/kiv)
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kiv)
set(CPACK_STRIP_FILES ON)
# Everything, the package's own files included, in one package.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified system)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/package/installed-size.cmake)
include(CPack)
