# The Windows programs: an icon, an application manifest and version
# information in each .exe, and the ZIP of the programs, README.txt,
# LICENSE.txt and their SHA-256 sums, with the ZIP's own sum beside it.
enable_language(RC)
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(CNC64_COPYRIGHT "Copyright (c) 2026 the cnc64tools authors")
set(CNC64_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(CNC64_RC_VERSION_DOTS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(CNC64_DESCRIPTION_pelloran "C&C N64 map cleaner (Pelloran)")
set(CNC64_DESCRIPTION_dravimund "C&C N64 map cleaner (Dravimund)")
set(CNC64_DESCRIPTION_oskebar "C&C N64 ROM byte-order converter (Oskebar)")
set(CNC64_DESCRIPTION_halvard "C&C N64 ROM reference patcher (Halvard)")

foreach(program IN LISTS CNC64_PROGRAMS)
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/${program})
  set(CNC64_RC_PROGRAM ${program})
  set(CNC64_RC_DESCRIPTION "${CNC64_DESCRIPTION_${program}}")
  set(CNC64_RC_ICON ${folder}/${program}.ico)
  set(CNC64_RC_MANIFEST ${folder}/${program}.manifest)
  configure_file(windows/program.manifest.in ${CNC64_RC_MANIFEST} @ONLY)
  configure_file(windows/program.rc.in ${folder}/${program}.rc @ONLY)
  add_custom_command(OUTPUT ${CNC64_RC_ICON}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/make_icon.py ${program} ${CNC64_RC_ICON}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/make_icon.py
    COMMENT "Making the icon of ${program}"
    VERBATIM)
  add_custom_target(${program}_icon DEPENDS ${CNC64_RC_ICON})
  target_sources(${program} PRIVATE ${folder}/${program}.rc)
  set_source_files_properties(${folder}/${program}.rc TARGET_DIRECTORY ${program}
    PROPERTIES OBJECT_DEPENDS "${CNC64_RC_ICON};${CNC64_RC_MANIFEST}")
  add_dependencies(${program} ${program}_icon)
  # No link time in the PE header, so a rebuild gives the same bytes; the
  # programs are stripped here, since strip would write the time in again.
  target_link_options(${program} PRIVATE -s -Wl,--no-insert-timestamp)
endforeach()

# README.txt and LICENSE.txt with Windows line ends.
configure_file(windows/README.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS ${CNC64_PROGRAMS} RUNTIME DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
set(CNC64_PACKAGED_FILES README.txt LICENSE.txt)
foreach(program IN LISTS CNC64_PROGRAMS)
  list(APPEND CNC64_PACKAGED_FILES ${program}${CMAKE_EXECUTABLE_SUFFIX})
endforeach()
# SHA256SUMS is written by CPack after it has stripped the programs, so
# its sums are those of the files in the ZIP.
set(CNC64_SUMS_SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/write_sums.cmake)
file(WRITE ${CNC64_SUMS_SCRIPT} "set(names \"${CNC64_PACKAGED_FILES}\")\n")
file(APPEND ${CNC64_SUMS_SCRIPT} [[
file(GLOB_RECURSE sums_anchor "${CPACK_TEMPORARY_DIRECTORY}/*README.txt")
list(GET sums_anchor 0 sums_anchor)
get_filename_component(folder "${sums_anchor}" DIRECTORY)
set(sums "")
foreach(name IN LISTS names)
  file(SHA256 "${folder}/${name}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE "${folder}/SHA256SUMS" "${sums}")
]])
set(CPACK_PRE_BUILD_SCRIPTS ${CNC64_SUMS_SCRIPT} ${CMAKE_CURRENT_BINARY_DIR}/set_file_times.cmake)

set(CPACK_STRIP_FILES OFF)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME cnc64tools-${PROJECT_VERSION}-win64)
