# Stored-value decryption reads text from configuration files that anybody
# with write access to the program directory may have edited.
if(TARGET opal_comm_crypt)
  opal_add_fuzz_target(decrypt_value SOURCE ${CMAKE_CURRENT_LIST_DIR}/DecryptValueFuzz.cpp
                       LIBS opal_comm_crypt)
endif()
