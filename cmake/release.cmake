# The release a user installs, as a ZIP: the DLL, a README for the user, an
# example settings file (never KestrinPlugin.INI itself, so that unpacking an
# upgrade cannot replace a user's settings) and the licences. Text files get
# CR LF line ends, as Notepad expects.
#   cmake --build build/win32 --target package
set(KESTRIN_RELEASE_TEXTS ${CMAKE_BINARY_DIR}/release)
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt.in ${KESTRIN_RELEASE_TEXTS}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
foreach(text packaging/KestrinPlugin.INI.example RUNTIME-NOTICE.txt LICENSE)
  get_filename_component(name ${text} NAME)
  if(name STREQUAL "LICENSE")
    set(name LICENSE.txt)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/${text} ${KESTRIN_RELEASE_TEXTS}/${name} @ONLY
                 NEWLINE_STYLE CRLF)
endforeach()

install(TARGETS KestrinPlugin RUNTIME DESTINATION .)
install(FILES ${KESTRIN_RELEASE_TEXTS}/README.txt ${KESTRIN_RELEASE_TEXTS}/KestrinPlugin.INI.example
              ${KESTRIN_RELEASE_TEXTS}/LICENSE.txt ${KESTRIN_RELEASE_TEXTS}/RUNTIME-NOTICE.txt
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KestrinViewer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME KestrinViewer-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
