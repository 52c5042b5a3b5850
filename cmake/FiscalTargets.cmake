# Warnings and common settings for every target of the project.
function(fiscal_target_defaults target)
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wno-missing-field-initializers>)
  target_compile_definitions(${target} PRIVATE QT_NO_KEYWORDS)
endfunction()

# The libraries the host, every module and the server load once per process. Each object
# in the process then shares one copy of what must be unique (the interaction service, the
# settings, the local cache, the wait animation). Default symbol visibility; calls inside
# a library are not interposable, so they stay as fast as in a static build.
function(fiscal_shared_library target)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME fiscal-${target}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU,Clang>:-fno-semantic-interposition>)
endfunction()

# fiscal_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [FIXTURES ...])
function(fiscal_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;FIXTURES;ARGS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  fiscal_target_defaults(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  set_tests_properties(${T_NAME} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENV}"
    TIMEOUT 300)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_FIXTURES)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES}")
  endif()
endfunction()
