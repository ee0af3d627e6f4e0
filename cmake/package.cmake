# `cpack -G DEB` in a build directory makes event-historian_VERSION_ARCH.deb: the program, its
# man page, the systemd unit and the example configuration. Build it from a Release build;
# its Depends come from dpkg-shlibdeps (dpkg-dev), so they name the libraries the program links.
set(CPACK_PACKAGE_NAME event-historian)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "event-historian maintainers <event-historian@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "writes RL training steps from Redis streams to Parquet files")
set(CPACK_PACKAGE_DESCRIPTION
  "Reads the steps of a reinforcement-learning training run from Redis streams through a
consumer group, writes them as Parquet files, and reports each training cycle to a job
service over HTTP. Runs as the systemd service event-historian@NAME.")
set(CPACK_GENERATOR DEB)
# The unit and the configuration name their installed paths, so the package installs with
# DESTDIR under the packaging prefix rather than relocating a tree built for another one.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS redis-server)
# The example configuration is a conffile: dpkg keeps the administrator's changes to it.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/event-historian/example.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
