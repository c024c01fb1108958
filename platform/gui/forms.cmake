# The resources' own forms (dialog, menu and version templates, the string
# table) read with QtCore alone, so that the command line takes its texts
# from the very same files without Qt's GUI modules. Included by
# platform/gui and by ctl, whichever comes first.
include_guard(GLOBAL)
find_package(Qt6 6.4 REQUIRED COMPONENTS Core)
add_library(opal_resource_forms STATIC ${CMAKE_CURRENT_LIST_DIR}/ResourceTemplates.cpp)
target_include_directories(opal_resource_forms PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(opal_resource_forms PUBLIC Qt6::Core)
