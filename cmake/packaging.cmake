# What the Debian package holds besides the programs, and how CPack builds it
# (scripts/package.sh runs it).

# Debian ships manual pages and its changelog compressed, without timestamps.
function(vantrel_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9nc ${source} > ${output}
        DEPENDS ${source} VERBATIM)
endfunction()

set(package_doc ${CMAKE_CURRENT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${package_doc})
foreach(page vantrel-wifi.1 vantrel-battery.1)
    # The version on a page is the project's own.
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${package_doc}/${page} @ONLY)
    vantrel_gzip(${package_doc}/${page} ${package_doc}/${page}.gz)
    list(APPEND package_files ${package_doc}/${page}.gz)
    install(FILES ${package_doc}/${page}.gz DESTINATION share/man/man1)
endforeach()
vantrel_gzip(${PROJECT_SOURCE_DIR}/debian/changelog ${package_doc}/changelog.gz)
list(APPEND package_files ${package_doc}/changelog.gz)
add_custom_target(package-files ALL DEPENDS ${package_files})

install(FILES ${package_doc}/changelog.gz debian/copyright DESTINATION share/doc/vantrel-tools)
install(FILES completion/vantrel-wifi completion/vantrel-battery
        DESTINATION share/bash-completion/completions)
# Where vantrel-wifi keeps the CA certificates a person trusted on first use:
# public files, which the daemon reads.
install(DIRECTORY DESTINATION /var/lib/vantrel-wifi/ca
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wi-Fi and battery tools for the Vantrel tablet")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vantrel-wifi shows the Wi-Fi link, lists networks, joins a saved network or
adds an open or WPA-personal one, and forgets networks, through the
wpa_supplicant daemon's control socket.

vantrel-battery prints the battery charge and the cellular modem's state
for a shell prompt, a status line or a person.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vantrel project <tools@vantrel.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS wpasupplicant)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
