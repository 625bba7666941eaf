# Debian packages of the install components, built with cpack in the build
# folder (`cpack -G DEB`, or `cpack -B <out>` for another output folder):
#
#   orvane-lsaclient            component lsaclient: /opt/likewise/lib/liblsaclient.so.0,
#                               its header and /opt/likewise/etc/lsaclient.conf
#   libapache2-mod-auth-orvane  component modules: mod_auth_orvane_form and
#                               mod_auth_orvane_gss with their mods-available .load files
#   orvane-transfer             component transfer: diskrelay (CGI program),
#                               admissiond and its systemd unit, the site's
#                               templates and pieces in /usr/share/orvane,
#                               its renderer as /usr/sbin/orvane-site-config
#
# Each has its copyright (Apache-2.0, LICENSE) and changelog in
# /usr/share/doc/<package>. The packages build with -DBUILD_TESTING=OFF too.
#
# Installing enables nothing: the administrator runs a2enmod and
# "systemctl enable --now admissiond". Depends on shared libraries come from
# dpkg-shlibdeps; the ones it cannot know are named below.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR orvane)
set(CPACK_PACKAGE_CONTACT "orvane maintainers <maintainers@orvane.example.org>")

# Absolute destinations (Apache's module folder, /etc/apache2, /opt/likewise)
# must land inside the package, not on this machine: install into DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(orvane_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(orvane_deb_version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# Files under /etc and /opt/likewise/etc are the administrator's: dpkg keeps
# their edits on upgrade.
# /usr/share/doc/<package>/copyright and changelog.Debian.gz (Debian policy).
set(orvane_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${orvane_packaging_dir}/changelog)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9n -c INPUT_FILE ${orvane_packaging_dir}/changelog
                OUTPUT_FILE ${orvane_changelog} COMMAND_ERROR_IS_FATAL ANY)
function(orvane_package_docs component package)
  install(FILES ${orvane_packaging_dir}/copyright ${orvane_changelog}
          DESTINATION share/doc/${package} COMPONENT ${component})
  # lintian's overrides, each with its reason, where lintian looks for them.
  set(overrides ${orvane_packaging_dir}/lintian/${package})
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION share/lintian/overrides COMPONENT ${component})
  endif()
endfunction()

# Files compressed as Debian ships them (gzip -9n: no name, no time stamp),
# into the build's packaging folder; the list of results in out_var.
function(orvane_gzip out_var)
  set(out "")
  foreach(source IN LISTS ARGN)
    get_filename_component(name ${source} NAME)
    set(target ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND gzip -9n -c INPUT_FILE ${source} OUTPUT_FILE ${target} COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND out ${target})
  endforeach()
  set(${out_var} ${out} PARENT_SCOPE)
endfunction()

function(orvane_conffiles component)
  set(file ${PROJECT_BINARY_DIR}/packaging/${component}/conffiles)
  list(JOIN ARGN "\n" lines)
  file(CONFIGURE OUTPUT ${file} CONTENT "${lines}\n" @ONLY)
  set(orvane_${component}_conffiles ${file} PARENT_SCOPE)
endfunction()

# --- orvane-lsaclient ---
set(orvane_components modules transfer)
if(TARGET lsaclient)
  list(PREPEND orvane_components lsaclient)
  set(CPACK_DEBIAN_LSACLIENT_PACKAGE_NAME orvane-lsaclient)
  set(CPACK_DEBIAN_LSACLIENT_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LSACLIENT_DESCRIPTION
      "LSA client library for mod_auth_orvane_form
Checks domain logins and their passwords against the domain's Kerberos
KDC. Installed under /opt/likewise, where the form module looks for it.")
  orvane_conffiles(lsaclient ${LSACLIENT_PREFIX}/etc/lsaclient.conf)
  orvane_package_docs(lsaclient orvane-lsaclient)
  set(CPACK_DEBIAN_LSACLIENT_PACKAGE_CONTROL_EXTRA ${orvane_lsaclient_conffiles}
      ${orvane_packaging_dir}/lsaclient/preinst)
  # /opt is the machine's: left out of the package's file list (see
  # unowned_dirs.cmake), so that purging it never removes /opt.
  set(CPACK_ORVANE_UNOWNED_PACKAGES orvane-lsaclient)
  set(CPACK_ORVANE_UNOWNED_DIRS ./opt/)
  set(CPACK_POST_BUILD_SCRIPTS ${orvane_packaging_dir}/unowned_dirs.cmake)
  # dpkg-shlibdeps finds liblsaclient.so.0 in the build but cannot know whose
  # it is: the modules' Depends name it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/likewise)
  set(orvane_lsa_depends "orvane-lsaclient (= ${orvane_deb_version}), ")
else()
  set(orvane_lsa_depends "")   # Likewise's own installation under /opt/likewise
endif()
# --- libapache2-mod-auth-orvane ---
execute_process(COMMAND ${APXS} -q SYSCONFDIR OUTPUT_VARIABLE orvane_apache_sysconfdir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CPACK_DEBIAN_MODULES_PACKAGE_NAME libapache2-mod-auth-orvane)
set(CPACK_DEBIAN_MODULES_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_MODULES_PACKAGE_DEPENDS "${orvane_lsa_depends}apache2, apache2-api-20120211")
set(CPACK_DEBIAN_MODULES_PACKAGE_RECOMMENDS gss-ntlmssp)
set(CPACK_DEBIAN_MODULES_DESCRIPTION
    "Apache modules for domain logins: login-form password check and NTLM
mod_auth_orvane_form provides the input filter ORVANE_CHECK_PASSWORD, which
checks the password of a login form against the domain and blanks it.
mod_auth_orvane_gss authenticates requests with NTLM over GSS-API
(AuthType NTLM). Enable them with a2enmod auth_orvane_form / auth_orvane_gss.")
orvane_conffiles(modules
  ${orvane_apache_sysconfdir}/mods-available/auth_orvane_form.load
  ${orvane_apache_sysconfdir}/mods-available/auth_orvane_gss.load)
orvane_package_docs(modules libapache2-mod-auth-orvane)
set(CPACK_DEBIAN_MODULES_PACKAGE_CONTROL_EXTRA
    ${orvane_modules_conffiles} ${orvane_packaging_dir}/modules/postinst ${orvane_packaging_dir}/modules/prerm
    ${orvane_packaging_dir}/modules/postrm)

# --- orvane-gss-ntlmssp ---
# Debian's gss-ntlmssp with our patches, as deploy/packaging/gss-ntlmssp/install
# (run by scripts/deps) built and registered it on this machine: packaged
# from there when it is. It depends on exactly the gss-ntlmssp version it
# was built from, so that an upgrade of Debian's waits for a rebuild of it
# instead of leaving an older patched copy in front of a newer stock one.
set(orvane_ntlmssp_lib /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/orvane-ntlmssp)
set(orvane_ntlmssp_conf /etc/gss/mech.d/orvane-ntlmssp.conf)
if(EXISTS ${orvane_ntlmssp_lib}/gssntlmssp.so AND EXISTS ${orvane_ntlmssp_conf})
  # Its first line: "# gss-ntlmssp <version>, patches <sha256>".
  file(STRINGS ${orvane_ntlmssp_conf} orvane_ntlmssp_stamp LIMIT_COUNT 1)
  string(REGEX REPLACE "^# gss-ntlmssp ([^ ,]+),.*" "\\1" orvane_ntlmssp_version "${orvane_ntlmssp_stamp}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${orvane_ntlmssp_conf})
  # Under the prefix like everything else; the registration names the
  # library where this install puts it (/etc/gss for /usr, as for Apache's).
  set(orvane_ntlmssp_dest lib/${CMAKE_LIBRARY_ARCHITECTURE}/orvane-ntlmssp)
  install(FILES ${orvane_ntlmssp_lib}/gssntlmssp.so DESTINATION ${orvane_ntlmssp_dest} COMPONENT ntlmssp)
  # Stripped as Debian ships libraries (the build keeps its symbols).
  install(CODE "
    execute_process(COMMAND strip --strip-unneeded --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${orvane_ntlmssp_dest}/gssntlmssp.so\"
                    COMMAND_ERROR_IS_FATAL ANY)
    set(conf_dir \"\${CMAKE_INSTALL_PREFIX}/etc/gss/mech.d\")
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(conf_dir /etc/gss/mech.d)
    endif()
    file(READ \"${orvane_ntlmssp_conf}\" text)
    string(REPLACE \"${orvane_ntlmssp_lib}/\" \"\${CMAKE_INSTALL_PREFIX}/${orvane_ntlmssp_dest}/\" text \"\${text}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/packaging/orvane-ntlmssp.conf\" \"\${text}\")
    file(INSTALL DESTINATION \"\${conf_dir}\" TYPE FILE FILES \"${PROJECT_BINARY_DIR}/packaging/orvane-ntlmssp.conf\")"
    COMPONENT ntlmssp)
  install(FILES ${orvane_packaging_dir}/gss-ntlmssp/copyright ${orvane_changelog}
          DESTINATION share/doc/orvane-gss-ntlmssp COMPONENT ntlmssp)
  install(FILES ${orvane_packaging_dir}/lintian/orvane-gss-ntlmssp DESTINATION share/lintian/overrides
          COMPONENT ntlmssp)
  orvane_conffiles(ntlmssp ${orvane_ntlmssp_conf})
  set(CPACK_DEBIAN_NTLMSSP_PACKAGE_NAME orvane-gss-ntlmssp)
  set(CPACK_DEBIAN_NTLMSSP_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_NTLMSSP_PACKAGE_DEPENDS "gss-ntlmssp (= ${orvane_ntlmssp_version})")
  set(CPACK_DEBIAN_NTLMSSP_DESCRIPTION
      "NTLMSSP mechanism for GSS-API that also reads browsers' NTLM messages
gss-ntlmssp ${orvane_ntlmssp_version} built with orvane's patches: it reads a
NEGOTIATE message without the Version field, as Chromium and Firefox send
it. Installed beside Debian's library and registered in /etc/gss/mech.d
after it, so that GSS-API uses this one; removing the package brings the
stock mechanism back.")
  set(CPACK_DEBIAN_NTLMSSP_PACKAGE_CONTROL_EXTRA ${orvane_ntlmssp_conffiles})
  list(APPEND orvane_components ntlmssp)
  set(CPACK_DEBIAN_MODULES_PACKAGE_RECOMMENDS orvane-gss-ntlmssp)
endif()

# --- orvane-transfer ---
# The site's templates and pieces (docs/configuration.md): the chunk
# location's Lua script is needed at run time, the rest is filled in or
# replaced by the administrator.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/chunk_vars.lua ${PROJECT_SOURCE_DIR}/deploy/chunk-location.conf.in
              ${PROJECT_SOURCE_DIR}/deploy/site.conf.in
        DESTINATION share/orvane COMPONENT transfer)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/site-login.cgi ${PROJECT_SOURCE_DIR}/deploy/site-whoami.cgi
        DESTINATION share/orvane COMPONENT transfer)
# The renderer with what it imports, beside the templates it fills in, and
# as a command.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/templates.py ${PROJECT_SOURCE_DIR}/deploy/chunk_location.py
        DESTINATION share/orvane COMPONENT transfer)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/site_config.py ${PROJECT_SOURCE_DIR}/deploy/ntlm_client.py
        DESTINATION share/orvane COMPONENT transfer)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/ntlm_openssl.cnf DESTINATION share/orvane COMPONENT transfer)
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin\")
  file(CREATE_LINK ../share/orvane/site_config.py
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin/orvane-site-config\" SYMBOLIC)
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../share/orvane/ntlm_client.py
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/orvane-ntlm-check\" SYMBOLIC)" COMPONENT transfer)
# Manual pages, and the two guides the commands point to.
orvane_gzip(orvane_man8 ${orvane_packaging_dir}/man/admissiond.8 ${orvane_packaging_dir}/man/orvane-site-config.8)
orvane_gzip(orvane_man1 ${orvane_packaging_dir}/man/orvane-ntlm-check.1)
orvane_gzip(orvane_guides ${PROJECT_SOURCE_DIR}/docs/operations.md ${PROJECT_SOURCE_DIR}/docs/configuration.md)
install(FILES ${orvane_man8} DESTINATION share/man/man8 COMPONENT transfer)
install(FILES ${orvane_man1} DESTINATION share/man/man1 COMPONENT transfer)
install(FILES ${orvane_guides} DESTINATION share/doc/orvane-transfer COMPONENT transfer)
orvane_package_docs(transfer orvane-transfer)
set(CPACK_DEBIAN_TRANSFER_PACKAGE_NAME orvane-transfer)
set(CPACK_DEBIAN_TRANSFER_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_TRANSFER_PACKAGE_RECOMMENDS "apache2")
set(CPACK_DEBIAN_TRANSFER_PACKAGE_SUGGESTS "python3-requests-ntlm")   # orvane-ntlm-check
set(CPACK_DEBIAN_TRANSFER_DESCRIPTION
    "Disk-image chunk transfer CGI program and admission control daemon
diskrelay (in /usr/lib/orvane/cgi-bin) moves one chunk of a disk-image file
per request between the file and the web server. admissiond rations how
many transfers run at once; its systemd unit is admissiond.service.
The Apache site's templates and the chunk location's Lua script are in
/usr/share/orvane; orvane-site-config renders the site from them, and
orvane-ntlm-check signs on to a URL with NTLM as a client would.")
set(CPACK_DEBIAN_TRANSFER_PACKAGE_CONTROL_EXTRA
    ${orvane_packaging_dir}/transfer/postinst ${orvane_packaging_dir}/transfer/prerm
    ${orvane_packaging_dir}/transfer/postrm)

# Only these: install rules of other components (or none) stay out of the packages.
set(CPACK_COMPONENTS_ALL ${orvane_components})

include(CPack)
