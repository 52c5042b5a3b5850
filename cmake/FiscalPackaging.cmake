# Debian packages, built by `./fiscal package` (cpack in the build folder):
#   fiscal-server  the server, its systemd template unit and settings, its system user
#   erp-host       the host, the module, the desktop entry, the icon, the settings
# Both carry their manual page, copyright and changelog; dpkg-shlibdeps works out the
# dependencies on Debian's libraries. Libraries of this project that are built shared go
# into a private folder of each program that uses them.
set(FISCAL_PACKAGE_MAINTAINER "Equipe do sistema fiscal <fiscal@example.com>")
set(FISCAL_PACKAGE_RELEASE 1)
set(deb_root ${CMAKE_BINARY_DIR}/debian)

# ---- what goes where ----

# Installs the shared ones among `libs` (the others are linked into the programs) into `dir`
# for `component`.
function(fiscal_install_private_libraries component dir)
  foreach(lib ${ARGN})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      install(TARGETS ${lib} LIBRARY DESTINATION ${dir} NAMELINK_SKIP COMPONENT ${component})
      # They find each other beside themselves, in either program's folder.
      set_target_properties(${lib} PROPERTIES INSTALL_RPATH "$ORIGIN")
    endif()
  endforeach()
endfunction()

fiscal_install_private_libraries(server ${FISCAL_INSTALL_SERVERLIBDIR}
  storage dataset protocol rpc appserver)
fiscal_install_private_libraries(host ${FISCAL_INSTALL_HOSTLIBDIR}
  storage dataset protocol rpc vcl fiscal_help clientlib reports importing)
file(RELATIVE_PATH rel /${CMAKE_INSTALL_BINDIR} /${FISCAL_INSTALL_SERVERLIBDIR})
set_target_properties(fiscal-server PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
file(RELATIVE_PATH rel /${CMAKE_INSTALL_BINDIR} /${FISCAL_INSTALL_HOSTLIBDIR})
set_target_properties(erp-host PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
file(RELATIVE_PATH rel /${FISCAL_INSTALL_MODULEDIR} /${FISCAL_INSTALL_HOSTLIBDIR})
set_target_properties(Pkg_Ger10200 PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
install(TARGETS Pkg_Ger10200 LIBRARY DESTINATION ${FISCAL_INSTALL_MODULEDIR} NAMELINK_SKIP COMPONENT host)

# systemd looks for units under /lib on Debian 12; /etc is the system's, not the prefix's.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/fiscal-server@.service ${PROJECT_SOURCE_DIR}/deploy/fiscal-server-migrate.service
  DESTINATION /lib/systemd/system COMPONENT server)
# It may hold the token and a database password: root only (systemd reads it as root).
install(FILES ${PROJECT_SOURCE_DIR}/deploy/fiscal-server.env DESTINATION /etc/fiscal-server
  PERMISSIONS OWNER_READ OWNER_WRITE COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/erp-host.ini DESTINATION /etc/xdg/fiscal COMPONENT host)

# Manual page, copyright and changelog of each package.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(doc_outputs)
foreach(pair "server;fiscal-server" "host;erp-host")
  list(GET pair 0 component)
  list(GET pair 1 package)
  set(dir ${deb_root}/${component})
  set(PACKAGE ${package})
  set(VERSION ${PROJECT_VERSION}-${FISCAL_PACKAGE_RELEASE})
  set(MAINTAINER ${FISCAL_PACKAGE_MAINTAINER})
  set(DATE ${changelog_date})
  configure_file(${PROJECT_SOURCE_DIR}/deploy/debian/changelog.in ${dir}/changelog.Debian @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${package}.1 ${dir}/${package}.1 @ONLY)
  foreach(file changelog.Debian ${package}.1)
    add_custom_command(OUTPUT ${dir}/${file}.gz
      COMMAND gzip -9nkf ${dir}/${file}
      DEPENDS ${dir}/${file} VERBATIM)
    list(APPEND doc_outputs ${dir}/${file}.gz)
  endforeach()
  install(FILES ${dir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/deploy/debian/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES ${dir}/${package}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/debian/${package}.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
endforeach()
# The operator's guide and the nginx site go with the server.
set(deploy_guide ${deb_root}/server/deploy.md)
configure_file(${PROJECT_SOURCE_DIR}/docs/deploy.md ${deploy_guide} COPYONLY)
add_custom_command(OUTPUT ${deploy_guide}.gz
  COMMAND gzip -9nkf ${deploy_guide}
  DEPENDS ${deploy_guide} VERBATIM)
list(APPEND doc_outputs ${deploy_guide}.gz)
install(FILES ${deploy_guide}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fiscal-server COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/nginx/fiscal-server.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fiscal-server/examples/nginx COMPONENT server)
add_custom_target(fiscal_package_docs ALL DEPENDS ${doc_outputs})

# Files under /etc are the administrator's once installed.
file(WRITE ${deb_root}/server/conffiles "/etc/fiscal-server/fiscal-server.env\n")
file(WRITE ${deb_root}/host/conffiles "/etc/xdg/fiscal/erp-host.ini\n")
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/deploy/debian/fiscal-server.${script} ${deb_root}/server/${script} COPYONLY)
endforeach()

# ---- the packages ----

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fiscal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${FISCAL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server host)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${FISCAL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FISCAL_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME fiscal-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "postgresql")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${deb_root}/server/postinst ${deb_root}/server/prerm ${deb_root}/server/postrm ${deb_root}/server/conffiles)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "servidor de aplicação dos parâmetros de grupo fiscal
Atende por JSON-RPC sobre HTTP os objetos remotos dos parâmetros de grupo
fiscal, sobre um banco SQLite ou PostgreSQL. Traz a unidade systemd
fiscal-server@.service (uma instância por porta), que roda com o usuário de
sistema fiscal, e fiscal-server-migrate.service, que cria ou atualiza o
esquema do banco antes de cada instância.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME erp-host)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION x11)
# The platform plugins (xcb, offscreen) are a package of their own in Debian.
# Qt's Portuguese texts, loaded by name at start (no library link shows them).
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "qt6-qpa-plugins, qt6-translations-l10n")
set(CPACK_DEBIAN_HOST_PACKAGE_RECOMMENDS "fonts-dejavu-core, hicolor-icon-theme")
set(CPACK_DEBIAN_HOST_PACKAGE_SUGGESTS "fiscal-server")
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA ${deb_root}/host/conffiles)
set(CPACK_COMPONENT_HOST_DESCRIPTION
  "aplicativo Grupos Fiscais: parâmetros de grupo fiscal
Janela principal que carrega os módulos do sistema de gestão, com o módulo
Parâmetros de Grupo Fiscal: o grupo fiscal de fornecedores, clientes,
filiais, tipos de operação e de faturamento, por imposto e por inscrição
estadual. Fala com o fiscal-server e consulta o mesmo banco de dados.")

include(CPack)
