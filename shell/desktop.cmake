# The tool on a desktop: service commands on a worker thread, the check for a
# display before Qt is asked (both without Qt), and, on Qt, the status window
# where no tray host shows the icon.
target_sources(opal_shell_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ServiceCommandRunner.cpp
               ${CMAKE_CURRENT_LIST_DIR}/DisplayCheck.cpp)
if(TARGET opal_shell)
  target_sources(opal_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/StatusWindow.cpp)
endif()
