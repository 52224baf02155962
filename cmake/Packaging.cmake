# Installation as a desktop program (binary, menu entry, icons) and the Debian package built
# from it with CPack. Included from the top CMakeLists.txt after the `vesktor` target exists.
include(GNUInstallDirs)

# Installing and packaging need only the program. Without this, `install` and CPack's preinstall
# step would first build every test program as well; scripts/package.sh and the package test
# build (or require) the `vesktor` target themselves.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The window icon is compiled into the program, so it shows even when run from the build folder.
set_target_properties(vesktor PROPERTIES AUTORCC ON)
target_sources(vesktor PRIVATE ${PROJECT_SOURCE_DIR}/data/vesktor.qrc)

install(TARGETS vesktor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/vesktor.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/data/icons/hicolor/${size}x${size}/apps/vesktor.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/vesktor.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The Debian package is this project's own, made only when it is built on its own.
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesktor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vesktor developers")
set(CPACK_PACKAGE_CONTACT "Vesktor developers <vesktor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP forward proxy for web browsers with header rules")
# Kept in lines of under 80 characters, as Debian's control file format expects.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Vesktor is a small HTTP forward proxy run from one desktop window. Each\n"
    "request a browser sends is rewritten by the rules set in the window (pass\n"
    "all headers or only an allow-list, replace, remove or add header lines)\n"
    "before it goes to the server; an optional log records the client address\n"
    "and header lines of every request.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt runtime packages are read from the program's linked libraries by dpkg-shlibdeps,
# so the dependencies follow whatever Qt the package was built against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)

# Sanitized builds are for finding faults, not for shipping.
if(NOT VESKTOR_SANITIZE AND NOT VESKTOR_SANITIZE_THREAD AND NOT VESKTOR_FUZZ)
    add_test(NAME package_deb
             COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check_package.sh ${CMAKE_CPACK_COMMAND}
                     ${PROJECT_BINARY_DIR} ${PROJECT_VERSION} $<TARGET_FILE:vesktor>)
    set_tests_properties(package_deb PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
