# The program: the bundle's executable, built inside the bundle's folder layout.
if(TARGET bootstrapper_app)
  # The GTK window when its library is there (it answers a run without a display itself), else no window.
  if(TARGET bootstrapper_gtk)
    add_executable(bootstrapper ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp)
    target_link_libraries(bootstrapper PRIVATE bootstrapper_app bootstrapper_gtk)
  else()
    add_executable(bootstrapper
      ${CMAKE_CURRENT_SOURCE_DIR}/app/main.cpp
      ${CMAKE_CURRENT_SOURCE_DIR}/NoWindowProgramHost.cpp)
    target_link_libraries(bootstrapper PRIVATE bootstrapper_app)
  endif()
  set_target_properties(bootstrapper PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/MSPInstaller.app/Contents/MacOS)
endif()
