# The version.

# The version comes from project() only; the one source that prints it receives it.
set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/cli/version.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS KEYMEND_VERSION="${PROJECT_VERSION}")
