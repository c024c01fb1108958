opal_add_fuzz_target(xml_load SOURCE ${CMAKE_CURRENT_LIST_DIR}/XmlLoadFuzz.cpp LIBS opal_xml)
