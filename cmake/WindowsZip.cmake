# `package-zip`: build-windows/Quenlo-VERSION-win64.zip with the window (when winapp/ builds it),
# quenlo-cli.exe, a sample printers file and a short read-me, in one folder Quenlo-VERSION-win64/.
set(zip_name Quenlo-${PROJECT_VERSION}-win64)
set(zip_stage ${CMAKE_BINARY_DIR}/${zip_name})
set(zip_programs $<TARGET_FILE:quenlo-cli>)
set(zip_depends quenlo-cli)
set(zip_staged ${zip_stage}/quenlo-cli.exe)
if(TARGET quenlo)
  list(APPEND zip_programs $<TARGET_FILE:quenlo>)
  list(APPEND zip_depends quenlo)
  list(APPEND zip_staged ${zip_stage}/quenlo.exe)
endif()
add_custom_target(package-zip
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zip_stage} ${CMAKE_BINARY_DIR}/${zip_name}.zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zip_stage}
  COMMAND ${CMAKE_COMMAND} -E copy ${zip_programs} ${zip_stage}
  # Stripped: the debug sections would triple the download.
  COMMAND ${CMAKE_STRIP} ${zip_staged}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/win/printers.qdl
          ${PROJECT_SOURCE_DIR}/cmake/win/README.txt ${zip_stage}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${zip_name}.zip --format=zip ${zip_name}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${zip_depends}
  COMMENT "Packing ${zip_name}.zip"
  VERBATIM)
