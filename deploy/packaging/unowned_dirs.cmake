# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS): takes
# the directory entries of CPACK_ORVANE_UNOWNED_DIRS (e.g. "./opt/") out of the
# data archive of the packages named in CPACK_ORVANE_UNOWNED_PACKAGES. dpkg removes
# on purge every directory a package lists and nobody else does, even one
# that was there before, such as /opt; a directory the package does not list
# stays. The package's preinst makes such a directory when it is missing.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package ${name})
  if(NOT package IN_LIST CPACK_ORVANE_UNOWNED_PACKAGES)
    continue()
  endif()
  set(work ${deb}.unpack)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ar t ${deb} OUTPUT_VARIABLE members COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "\n$" "" members "${members}")
  string(REPLACE "\n" ";" members "${members}")
  if(NOT members MATCHES "^debian-binary;control\\.tar\\.gz;data\\.tar\\.gz$")
    message(FATAL_ERROR "${deb}: unexpected members ${members}")
  endif()
  execute_process(COMMAND ar x ${deb} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  # The archive is made anew from its own members, in their order, less the
  # unowned directories (tar --delete mangles the members after them).
  file(MAKE_DIRECTORY ${work}/data)
  execute_process(COMMAND tar -xpzf ../data.tar.gz WORKING_DIRECTORY ${work}/data COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -tzf data.tar.gz WORKING_DIRECTORY ${work}
                  OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "\n$" "" listing "${listing}")
  string(REPLACE "\n" ";" listing "${listing}")
  list(REMOVE_ITEM listing ${CPACK_ORVANE_UNOWNED_DIRS})
  list(JOIN listing "\n" listing)
  file(WRITE ${work}/members "${listing}\n")
  execute_process(COMMAND tar -cf ../data.tar --no-recursion --owner=0 --group=0 --numeric-owner
                          --format=gnu -T ../members
                  WORKING_DIRECTORY ${work}/data COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${work}/data.tar.gz)
  execute_process(COMMAND gzip -9n data.tar WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND ar rcD ${deb} ${members} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
  message(STATUS "${name}: left out ${CPACK_ORVANE_UNOWNED_DIRS}")
endforeach()
