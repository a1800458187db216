# The application bundle laid out in the build tree: MSPInstaller.app with the program, the
# disk-image tool beside it, and Contents/Resources with the XML files, the window description,
# the icons and one compiled string table per locale.
set(BOOTSTRAPPER_BUNDLE_DIR ${PROJECT_BINARY_DIR}/MSPInstaller.app)
set(BOOTSTRAPPER_BUNDLE_RESOURCES ${BOOTSTRAPPER_BUNDLE_DIR}/Contents/Resources)
set(BOOTSTRAPPER_BUNDLE_MACOS ${BOOTSTRAPPER_BUNDLE_DIR}/Contents/MacOS)
set(BOOTSTRAPPER_RESOURCE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/resources)

set(bundle_outputs)

# Plain resources are copied as they are; a file that joins later reconfigures the build.
file(GLOB bundle_plain_resources CONFIGURE_DEPENDS
  ${BOOTSTRAPPER_RESOURCE_SOURCES}/*.xml
  ${BOOTSTRAPPER_RESOURCE_SOURCES}/*.ui
  ${BOOTSTRAPPER_RESOURCE_SOURCES}/*.png)
foreach(source IN LISTS bundle_plain_resources)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${BOOTSTRAPPER_BUNDLE_RESOURCES}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BOOTSTRAPPER_BUNDLE_RESOURCES}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${BOOTSTRAPPER_BUNDLE_RESOURCES}/${name}
    DEPENDS ${source}
    COMMENT "Bundle resource ${name}"
    VERBATIM)
  list(APPEND bundle_outputs ${BOOTSTRAPPER_BUNDLE_RESOURCES}/${name})
endforeach()

# Each locale's source becomes Dictionary/<locale>/stringTable.zdct (binary table, version 2.1).
file(GLOB bundle_table_sources CONFIGURE_DEPENDS ${BOOTSTRAPPER_RESOURCE_SOURCES}/Dictionary/*/stringTable.txt)
set(BOOTSTRAPPER_BUNDLE_LOCALES)
foreach(source IN LISTS bundle_table_sources)
  get_filename_component(folder ${source} DIRECTORY)
  get_filename_component(locale ${folder} NAME)
  set(table ${BOOTSTRAPPER_BUNDLE_RESOURCES}/Dictionary/${locale}/stringTable.zdct)
  add_custom_command(OUTPUT ${table}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BOOTSTRAPPER_BUNDLE_RESOURCES}/Dictionary/${locale}
    COMMAND $<TARGET_FILE:stringtable> 2.1 ${source} ${table}
    DEPENDS ${source} stringtable
    COMMENT "String table ${locale}"
    VERBATIM)
  list(APPEND bundle_outputs ${table})
  list(APPEND BOOTSTRAPPER_BUNDLE_LOCALES ${locale})
endforeach()

# platform::diskImageToolPath looks for the tool beside the running executable.
add_custom_command(OUTPUT ${BOOTSTRAPPER_BUNDLE_MACOS}/diskimage
  COMMAND ${CMAKE_COMMAND} -E make_directory ${BOOTSTRAPPER_BUNDLE_MACOS}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:diskimage> ${BOOTSTRAPPER_BUNDLE_MACOS}/diskimage
  DEPENDS diskimage
  COMMENT "Bundle disk-image tool"
  VERBATIM)
list(APPEND bundle_outputs ${BOOTSTRAPPER_BUNDLE_MACOS}/diskimage)

# The whole bundle: build this target before running the program or the tests that run it.
add_custom_target(bootstrapper_bundle ALL DEPENDS ${bundle_outputs})
if(TARGET bootstrapper)
  add_dependencies(bootstrapper_bundle bootstrapper)
endif()
