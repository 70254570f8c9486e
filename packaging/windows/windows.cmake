# What only the Windows programs have: version information and the icon in
# each .exe, from flash3.rc.in through the resource compiler.
function(flash3_windows_resources target description)
  set(FLASH3_RC_NAME ${target})
  set(FLASH3_RC_DESCRIPTION ${description})
  set(FLASH3_RC_ICON ${PROJECT_SOURCE_DIR}/data/icons/flash3.ico)
  set(rc ${CMAKE_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/flash3.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # windres does not see that the icon changed.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${FLASH3_RC_ICON})
endfunction()

flash3_windows_resources(flash3-cli "flash3-cli: KORVEN-7 firmware reflashing over RS-232, for the console")
if(TARGET flash3)
  flash3_windows_resources(flash3 "FLASH3: KORVEN-7 firmware reflashing over RS-232")
endif()

# The DLLs the programs need beside them: Qt's, from its prefix, and the
# compiler's runtime, which Qt's DLLs use too.
get_filename_component(FLASH3_QT_PREFIX "${Qt6_DIR}/../../.." ABSOLUTE)
set(FLASH3_MINGW_RUNTIME "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(path "${path}" ABSOLUTE)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "The mingw-w64 runtime ${dll} is not beside ${CMAKE_CXX_COMPILER}")
  endif()
  list(APPEND FLASH3_MINGW_RUNTIME ${path})
endforeach()

# The zip and the installer (./run.sh windows): dist/flash3-<version>-win64.zip
# and dist/flash3-<version>-win64-setup.exe.
set(FLASH3_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(FLASH3_DIST_NAME flash3-${PROJECT_VERSION}-win64)
if(TARGET flash3)
  find_program(FLASH3_MAKENSIS makensis)
  add_custom_target(windows-packages
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/make-packages.sh ${FLASH3_DIST_DIR} ${FLASH3_DIST_NAME} ${PROJECT_VERSION}
            ${FLASH3_QT_PREFIX} ${PROJECT_SOURCE_DIR} $<TARGET_FILE:flash3> $<TARGET_FILE:flash3-cli>
            -- ${FLASH3_MINGW_RUNTIME}
    DEPENDS flash3 flash3-cli
    COMMENT "Windows packages in ${FLASH3_DIST_DIR}"
    VERBATIM)
endif()
