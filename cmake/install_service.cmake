# Runs at install time (install(CODE) in tools/historian_host): installs the systemd unit
# event-historian@.service with the installed program's path, and the example configuration
# /etc/event-historian/example.conf (PREFIX/etc/... unless the prefix is /usr), mode 0600.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(HISTORIAN_SYSCONFDIR /etc)
else()
  set(HISTORIAN_SYSCONFDIR ${CMAKE_INSTALL_PREFIX}/etc)
endif()
set(HISTORIAN_PROGRAM ${CMAKE_INSTALL_PREFIX}/${HISTORIAN_BINDIR}/event-historian)
# One staging directory per destination, so that installs into two places at once (cpack and
# cmake --install) never copy each other's unit.
string(MD5 HISTORIAN_DESTINATION "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(HISTORIAN_STAGED ${HISTORIAN_STAGING_DIR}/${HISTORIAN_DESTINATION}/event-historian@.service)
configure_file(${HISTORIAN_UNIT_TEMPLATE} ${HISTORIAN_STAGED} @ONLY)
file(INSTALL ${HISTORIAN_STAGED}
  DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${HISTORIAN_EXAMPLE_CONF}
  DESTINATION ${HISTORIAN_SYSCONFDIR}/event-historian
  PERMISSIONS OWNER_READ OWNER_WRITE)
file(REMOVE ${HISTORIAN_STAGED})
