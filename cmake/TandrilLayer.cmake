# Every layer is one static library built from the .cpp files of its folder.
# tandril_layer(NAME DIR DEPS...) makes target tandril_NAME.
function(tandril_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(TANDRIL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(tandril_layer name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp)
  if(sources)
    add_library(tandril_${name} STATIC ${sources})
    target_include_directories(tandril_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tandril_${name} PUBLIC ${ARGN})
    tandril_warnings(tandril_${name})
  else()
    add_library(tandril_${name} INTERFACE)
    target_include_directories(tandril_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tandril_${name} INTERFACE ${ARGN})
  endif()
endfunction()

# tandril_test(LAYER DEPS...) builds tests/LAYER/*.cpp into one GoogleTest binary.
function(tandril_test layer)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${layer}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(tandril_${layer}_tests ${sources})
  target_link_libraries(tandril_${layer}_tests PRIVATE ${ARGN} tandril_testsupport GTest::gmock GTest::gtest GTest::gtest_main)
  target_include_directories(tandril_${layer}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  tandril_warnings(tandril_${layer}_tests)
  gtest_discover_tests(tandril_${layer}_tests
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "TANDRIL_SOURCE_DIR=${PROJECT_SOURCE_DIR};TANDRIL_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
