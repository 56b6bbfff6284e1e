# Debian package of the kit: `cpack -G DEB` in a build directory gives velmira-kit_<version>_<arch>.deb
# with the two programs, their manual pages and the bash completion, installed under /usr.

set(VELMIRA_PACKAGE_MAINTAINER "Velmira kit maintainers <velmira-kit@kestrin.example>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME velmira-kit)
set(CPACK_PACKAGE_VENDOR Kestrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELMIRA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "installation kit of the Velmira product: propagate and quarnet")
# The long description: paragraphs are separated by an empty line, which CPack writes as " .".
set(CPACK_PACKAGE_DESCRIPTION [=[
propagate installs or updates the files of Velmira from a prepared
repository directory into a base directory. A text table, files.txt,
lists every directory, file and symbolic link with its owner, group,
mode and time and the MD5 control sum of its content. Configuration
files can keep local changes from one run to the next, nothing is ever
deleted, and a failed copy never destroys an installed file.

quarnet is a small compatibility utility for the product's shell
scripts: it prints modification times, creates symbolic links, copies
files without carriage returns, lower-cases text, sleeps a random time,
writes to the system log and stops processes after a grace period.]=])
string(STRIP "${CPACK_PACKAGE_DESCRIPTION}" CPACK_PACKAGE_DESCRIPTION)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMIRA_PACKAGE_MAINTAINER}")

# Dependencies come from the libraries the programs really link, with the versions dpkg-shlibdeps
# derives from the symbols they use; without the tool, the versions of Debian 12's toolchain.
find_program(VELMIRA_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VELMIRA_FILE file)
if(VELMIRA_DPKG_SHLIBDEPS AND VELMIRA_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1 (>= 3.0)")
endif()

include(CPack)
