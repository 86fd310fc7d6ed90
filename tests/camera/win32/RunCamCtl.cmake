# Runs ZELT2CamCtl once (under the emulator when there is one) with the
# simulated cameras CAMERAS (none: the system's cameras), and checks its exit
# status against the regular expression STATUS and its output against PATTERN.
# With ZELT_CAMCTL_ALONE set, a copy of the program runs alone in that folder.
if(CAMERAS STREQUAL "")
    unset(ENV{ZELT2_SIM_CAMERAS})
else()
    set(ENV{ZELT2_SIM_CAMERAS} "${CAMERAS}")
endif()
if(DEFINED ENV{ZELT_CAMCTL_ALONE})
    file(REMOVE_RECURSE "$ENV{ZELT_CAMCTL_ALONE}")
    file(COPY "${PROGRAM}" DESTINATION "$ENV{ZELT_CAMCTL_ALONE}")
    get_filename_component(name "${PROGRAM}" NAME)
    set(PROGRAM "$ENV{ZELT_CAMCTL_ALONE}/${name}")
endif()
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
set(all "${out}${err}")
if(NOT status MATCHES "^(${STATUS})$")
    message(FATAL_ERROR "exit status ${status}, expected ${STATUS}; output:\n${all}")
endif()
if(NOT PATTERN STREQUAL "" AND NOT all MATCHES "${PATTERN}")
    message(FATAL_ERROR "output does not match '${PATTERN}':\n${all}")
endif()
message(STATUS "exit status ${status}:\n${all}")
