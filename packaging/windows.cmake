# The Windows packages (tools/build-windows): an MSI that wixl builds from
# mbus-fwtool.wxs, and a portable zip; both hold the stripped programs, the
# README, the licence and the notices of what the programs link statically. Target windows-packages; the files land in the build folder.
find_program(WIXL wixl)
if(NOT WIXL)
  message(WARNING "wixl (Debian package wixl) not found: no MSI")
  return()
endif()
set(PACKAGE_BASE mbus-fwtool-${PROJECT_VERSION}-x64)
set(PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package-stage)
set(PACKAGE_FILES ${PACKAGE_STAGE}/${PACKAGE_BASE})
set(MSI ${CMAKE_BINARY_DIR}/${PACKAGE_BASE}.msi)
set(ZIP ${CMAKE_BINARY_DIR}/${PACKAGE_BASE}.zip)
add_custom_command(OUTPUT ${MSI} ${ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${PACKAGE_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PACKAGE_FILES}
  # Debug information makes them four to eight times larger.
  COMMAND ${CMAKE_STRIP} -o ${PACKAGE_FILES}/mbus-fwtool.exe $<TARGET_FILE:mbus-fwtool>
  COMMAND ${CMAKE_STRIP} -o ${PACKAGE_FILES}/mbus-fwupdate.exe $<TARGET_FILE:mbus-fwupdate>
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${PACKAGE_FILES}/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${PACKAGE_FILES}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/third-party-notices.txt ${PACKAGE_FILES}/
  # wixl finds a File's Source relative to the current folder only.
  COMMAND ${CMAKE_COMMAND} -E chdir ${PACKAGE_FILES}
          ${WIXL} -a x64 -D Version=${PROJECT_VERSION} -o ${MSI} ${CMAKE_CURRENT_SOURCE_DIR}/mbus-fwtool.wxs
  COMMAND ${CMAKE_COMMAND} -E rm -f ${ZIP}
  COMMAND ${CMAKE_COMMAND} -E chdir ${PACKAGE_STAGE} ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${PACKAGE_BASE}
  DEPENDS mbus-fwtool mbus-fwupdate ${CMAKE_CURRENT_SOURCE_DIR}/mbus-fwtool.wxs ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/third-party-notices.txt
  VERBATIM)
add_custom_target(windows-packages DEPENDS ${MSI} ${ZIP})
