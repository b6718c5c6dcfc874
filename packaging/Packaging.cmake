# The Debian package (zarvo_VERSION_ARCH.deb): CPack's DEB generator over the install
# rules of the tree, so that `cmake --install` and the package hold the same files.
# `make package` builds it from the RelWithDebInfo tree; binaries are stripped.

set(ZARVO_PACKAGE_MAINTAINER "Zarvo maintainers <maintainers@zarvo.example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# The homepage is the one the window's About link opens.
file(STRINGS ${PROJECT_SOURCE_DIR}/app/Unit1.cpp maker_url REGEX "kMakerUrl = \"[^\"]+\"")
string(REGEX REPLACE ".*kMakerUrl = \"([^\"]+)\".*" "\\1" ZARVO_HOMEPAGE "${maker_url}")

if(ZARVO_BUILD_APP)
    include(${CMAKE_CURRENT_LIST_DIR}/Desktop.cmake)
endif()

# A stripped install (cpack, cmake --install --strip) also drops the compiler's .comment
# section, as Debian's dh_strip does; it runs after the binaries' own install rules.
install(CODE "set(zarvo_objcopy \"${CMAKE_OBJCOPY}\")\nset(zarvo_bindir \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program zarvo zarvo-cli)
            set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${zarvo_bindir}/${program}")
            if(EXISTS "${path}")
                execute_process(COMMAND "${zarvo_objcopy}" --remove-section=.comment "${path}"
                                COMMAND_ERROR_IS_FATAL ANY)
            endif()
        endforeach()
    endif()
]])

install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# A native package's Debian changelog goes as changelog.gz, compressed as Debian
# policy wants it: level 9, without name or time, so builds are reproducible.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
    COMMENT "Debian changelog")
add_custom_target(zarvo_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    message(STATUS "Packages of this ${CMAKE_BUILD_TYPE} tree hold a development build; `make package` uses build/ (RelWithDebInfo)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Zarvo)
set(CPACK_PACKAGE_CONTACT "${ZARVO_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Zarvo turns IP ranges in CIDR notation into address lists: every address,
a total or per-range count, random order, usable hosts only, wildcard
exclusions, ports, host-name templates, a country column from a MaxMind DB
file, and a reverse DNS lookup of the list.

The package holds the Qt 6 desktop window (zarvo) with its CSV and text
file viewer, and its command-line twin (zarvo-cli), which runs the same
engine and streams its lines as they are made.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZARVO_HOMEPAGE}")
# Depends comes from the libraries the binaries load (dpkg-shlibdeps, in dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
