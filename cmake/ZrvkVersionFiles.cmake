# zrvk_write_version_files(<dir>) writes the Windows resource files that carry
# the version: <dir>/zrvk_version.h (for the .rc) and <dir>/ZorvikInstaller.manifest.
# As a script: cmake -DOUT=<dir> -P cmake/ZrvkVersionFiles.cmake
include(${CMAKE_CURRENT_LIST_DIR}/ZrvkVersion.cmake)

function(zrvk_write_version_files dir)
  string(REPLACE "." "," ZRVK_VERSION_NUMBERS "${ZRVK_VERSION},0")
  set(ZRVK_VERSION_FULL "${ZRVK_VERSION}.0")
  set(windows ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../platform/windows)
  configure_file(${windows}/zrvk_version.h.in ${dir}/zrvk_version.h @ONLY)
  configure_file(${windows}/ZorvikInstaller.manifest.in ${dir}/ZorvikInstaller.manifest @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND OUT)
  zrvk_write_version_files(${OUT})
endif()
