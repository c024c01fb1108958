# Warnings are errors for our own code; third-party headers come in as system
# headers and are not held to it.
add_compile_options(-Wall -Wextra -Werror)
