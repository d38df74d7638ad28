# The Debian package, built by scripts/package with CPack's DEB generator: everything the install
# rules put under the prefix, packed under /usr; the programs stripped; the dependencies computed
# by dpkg-shlibdeps (dpkg-dev) from the libraries the programs link.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavex)
set(CPACK_PACKAGE_VENDOR "The Tavex developers")
set(CPACK_PACKAGE_CONTACT "Tavex developers <maintainers@users.noreply.c-seed-87a417df.example>"
    CACHE STRING "The Debian package's maintainer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories 0755 whatever the umask of the one who packs.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "companion for the TAVEX QX482TDA radon meter")
# Lines of at most 80 characters: CPack keeps the lines as they are written here.
set(CPACK_PACKAGE_DESCRIPTION [=[
Reads the results stored in a TAVEX QX482TDA portable radon meter over USB
(in Bq/m3 or pCi/l, with time and date), keeps every result in an archive on
this computer and writes them as an HTML page, a CSV file, an .xlsx workbook
or a PDF report with the summary, a chart and the reference levels. It also
clears the meter's memory and sets its clock.

tavex is the panel program: a window that imitates the meter's front panel.
tavex-demo is the same panel on a simulated meter, to try it with no meter.
tavex-cli does the same from the command line and in scripts. The package
brings the udev rule that lets the logged-in user open the meter.]=])

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# udev is told of the rule when it is installed and when it is removed.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/linux/postinst ${CMAKE_CURRENT_LIST_DIR}/linux/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
