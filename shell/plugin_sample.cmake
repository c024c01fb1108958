# A sample plug-in UI library: what an agent plug-in ships so that the tool's
# "Plug-in Option..." button has a settings dialog to show. The demo agent
# home names it in its system configuration.
add_library(opal_sample_plugin_ui MODULE ${CMAKE_CURRENT_SOURCE_DIR}/plugin_sample/SamplePluginUI.cpp)
target_link_libraries(opal_sample_plugin_ui PRIVATE Qt6::Widgets ${CMAKE_DL_LIBS})
set_target_properties(opal_sample_plugin_ui PROPERTIES
    OUTPUT_NAME OpalSamplePluginUI
    PREFIX "lib"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
