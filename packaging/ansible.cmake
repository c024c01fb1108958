# The Ansible collection opal.agent, where ansible-core looks for collections
# installed by the system's packages (its default collections path ends in
# /usr/share/ansible/collections). Only the collection itself: its tests stay
# in the source tree.
set(OPAL_ANSIBLE_COLLECTION ${PROJECT_SOURCE_DIR}/ansible/ansible_collections/opal/agent)
install(DIRECTORY ${OPAL_ANSIBLE_COLLECTION}/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/opal/agent
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE
        PATTERN tests EXCLUDE
        PATTERN __pycache__ EXCLUDE
        PATTERN "*.pyc" EXCLUDE)
