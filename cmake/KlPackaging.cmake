# Packages of the control app's bundle (cpack in the build folder, after building portweaver-bundle):
#   portweaver_<version>_<arch>.deb   the bundle in /opt/portweaver, /usr/bin/portweaver, the
#                                     desktop entry, the icon (SVG and PNG) and the root helper's
#                                     polkit action;
#                                     postinst installs the daemon from the bundle, prerm removes it
#   portweaver-<version>-bundle.tar.gz  the bundle folder alone
# Both come from components that a plain `cmake --install` leaves out (EXCLUDE_FROM_ALL): that
# still installs only the daemon and screen programs to KL_SYSTEM_PROGRAM_DIR.

set(KL_PACKAGE_BUNDLE /opt/portweaver)
set(packaging_src ${CMAKE_SOURCE_DIR}/packaging)
set(packaging_bin ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_bin}/control)

install(DIRECTORY ${KL_BUNDLE_DIR}/ DESTINATION opt/portweaver USE_SOURCE_PERMISSIONS
        COMPONENT system-package EXCLUDE_FROM_ALL)
file(CREATE_LINK ${KL_PACKAGE_BUNDLE}/bin/portweaver ${packaging_bin}/portweaver SYMBOLIC)
install(FILES ${packaging_bin}/portweaver DESTINATION usr/bin COMPONENT system-package EXCLUDE_FROM_ALL)
install(FILES ${packaging_src}/com.kelvaro.portweaver.controlapp.desktop DESTINATION usr/share/applications
        COMPONENT system-package EXCLUDE_FROM_ALL)
install(FILES ${packaging_src}/com.kelvaro.portweaver.controlapp.svg DESTINATION usr/share/icons/hicolor/scalable/apps
        COMPONENT system-package EXCLUDE_FROM_ALL)
# The same icon as PNG files of the theme's usual sizes, for desktops that do not read SVG.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${packaging_src}/render-icon.py)
file(REMOVE_RECURSE ${packaging_bin}/icons)
execute_process(COMMAND ${Python3_EXECUTABLE} ${packaging_src}/render-icon.py ${packaging_bin}/icons
                        16 22 24 32 48 64 128 256 COMMAND_ERROR_IS_FATAL ANY)
install(DIRECTORY ${packaging_bin}/icons/ DESTINATION usr/share/icons/hicolor COMPONENT system-package EXCLUDE_FROM_ALL)
configure_file(${packaging_src}/com.kelvaro.portweaver.policy.in ${packaging_bin}/com.kelvaro.portweaver.policy @ONLY)
install(FILES ${packaging_bin}/com.kelvaro.portweaver.policy DESTINATION usr/share/polkit-1/actions
        COMPONENT system-package EXCLUDE_FROM_ALL)
foreach(script postinst prerm)
  configure_file(${packaging_src}/${script}.in ${packaging_bin}/control/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

install(DIRECTORY ${KL_BUNDLE_DIR}/ DESTINATION PortWeaver USE_SOURCE_PERMISSIONS
        COMPONENT bundle EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME portweaver)
set(CPACK_PACKAGE_VENDOR Kelvaro)
set(CPACK_PACKAGE_VERSION ${KL_APP_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote access to the services of one account's computers")
set(CPACK_PACKAGE_DESCRIPTION "A tray control app, a daemon that signs this computer in to an account server and \
builds encrypted peer-to-peer tunnels to the account's other computers, publishing their services as local \
ports, and a remote-screen service (X11).")
set(CPACK_PACKAGE_CONTACT "Kelvaro <support@kelvaro.invalid>")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_PACKAGE_NAME portweaver)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec, avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging_bin}/control/postinst ${packaging_bin}/control/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${packaging_src}/CPackPerGenerator.cmake.in ${packaging_bin}/CPackPerGenerator.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${packaging_bin}/CPackPerGenerator.cmake)
include(CPack)
