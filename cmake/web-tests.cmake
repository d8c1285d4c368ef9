# The world and engine tests of the WebAssembly build, run under node by CTest: the step against
# the model with each build of it, the engine and its worker, and the SDL calls each kind of
# build supplies (src/platform/web/). The front end needs a page; tests/web/ checks it in the
# browsers.

# GoogleTest from Debian's source package (libgtest-dev), compiled for WebAssembly.
set(QUOLVANE_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest's sources")
if(NOT EXISTS ${QUOLVANE_GTEST_SOURCE}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest's sources are not in ${QUOLVANE_GTEST_SOURCE} "
                      "(Debian's libgtest-dev puts them there)")
endif()
add_library(quolvane_web_gtest STATIC ${QUOLVANE_GTEST_SOURCE}/src/gtest-all.cc
                                      ${QUOLVANE_GTEST_SOURCE}/src/gtest_main.cc)
target_include_directories(quolvane_web_gtest SYSTEM PUBLIC ${QUOLVANE_GTEST_SOURCE}/include)
target_include_directories(quolvane_web_gtest PRIVATE ${QUOLVANE_GTEST_SOURCE})

find_program(QUOLVANE_NODE NAMES node nodejs REQUIRED)

# A test program for node, in which QUOLVANE_* settings reach getenv. In the threaded build main()
# runs on a worker thread of its own (PROXY_TO_PTHREAD), so the engine's threads start while the
# tests wait for them. In the cooperative build main() runs on node's one thread and every
# blocking SDL call hands it to the other tasks; the test framework calls each test through a
# pointer, so every call on the way must be able to unwind.
function(quolvane_node_test name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE quolvane_core quolvane_web_gtest)
  target_include_directories(${name} PRIVATE tests)
  target_link_options(${name} PRIVATE
    -sENVIRONMENT=node
    -sEXIT_RUNTIME=1
    -sINITIAL_MEMORY=256MB
    --pre-js ${PROJECT_SOURCE_DIR}/tests/web/node_env.js)
  if(QUOLVANE_WEB_THREADS)
    target_link_options(${name} PRIVATE -sPROXY_TO_PTHREAD -sPTHREAD_POOL_SIZE=4)
  else()
    target_compile_definitions(${name} PRIVATE QUOLVANE_WEB_TASKS=1)
    # SDL_PushEvent's JavaScript copies the event with _memcpy without asking for it to be
    # kept; the game keeps it for its own reasons, a test must ask.
    target_link_options(${name} PRIVATE -sASYNCIFY -sASYNCIFY_IMPORTS=quolvane_sleep_until_event
                        -sASYNCIFY_STACK_SIZE=65536 -sEXPORTED_FUNCTIONS=_main,_memcpy)
  endif()
endfunction()

# Adds a CTest test that runs test program `program` under node with the GoogleTest filter and
# the environment (NAME=VALUE, ...) given. Node's own fetch cannot read the .wasm beside the
# program from a file path, where emscripten's loader would use it; without it the loader reads
# the file directly.
function(quolvane_node_ctest name program filter)
  add_test(NAME ${name} COMMAND ${QUOLVANE_NODE} --no-experimental-fetch $<TARGET_FILE:${program}>
                                --gtest_filter=${filter})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 ENVIRONMENT "${ARGN}")
endfunction()

if(NOT QUOLVANE_WEB_THREADS)
  # The cooperative build: the engine with its worker as a task, and the calls that make tasks.
  # The world is the same code as in the threaded build, whose tests check it.
  quolvane_node_test(test_engine tests/test_engine.cpp)
  quolvane_node_test(test_sdl_tasks tests/web/test_sdl_tasks.cpp)
  # Every engine test but those that start a thread of their own, or keep the page's task busy
  # without a wait for the worker to step in (test_sdl_tasks.cpp checks the same there).
  quolvane_node_ctest(web.tasks.engine test_engine "-EngineRun.StartFailureUndoesEverything:\
EngineWorker.OneSignalPerGenerationAndStopCutsTheWait:EngineConcurrency.*")
  quolvane_node_ctest(web.tasks.sdl test_sdl_tasks "*")
  return()
endif()

quolvane_node_test(test_cellauto tests/test_cellauto.cpp)
target_sources(test_cellauto PRIVATE tests/test_step_grid.cpp tests/test_step_vectors.cpp)
target_include_directories(test_cellauto PRIVATE ${QUOLVANE_STEP_DIR})
quolvane_add_step_vector_checks(test_cellauto)
quolvane_node_test(test_engine tests/test_engine.cpp)
quolvane_node_test(test_sdl_web tests/web/test_sdl_web.cpp)

quolvane_node_ctest(web.cellauto test_cellauto "*")
# The differential tests again with each build of the step this program has, asked for by name.
foreach(isa ${QUOLVANE_STEP_BUILDS})
  quolvane_node_ctest(web.${isa}.differential test_cellauto "CellAutoDifferential.*"
                      QUOLVANE_STEP_ISA=${isa})
endforeach()
# Every engine test but the one that makes thread creation fail with a huge default stack:
# emscripten caps the stack, so the thread would start there.
quolvane_node_ctest(web.engine test_engine "-EngineRun.StartFailureUndoesEverything")
# The thread, lock, semaphore and clock calls the WebAssembly build supplies to SDL.
quolvane_node_ctest(web.sdl test_sdl_web "*")

# The step's speed under node, for each build (scripts/test-web.sh prints it).
add_executable(web_step bench/web_step.cpp)
target_link_libraries(web_step PRIVATE quolvane_core)
target_link_options(web_step PRIVATE -sENVIRONMENT=node -sPROXY_TO_PTHREAD -sEXIT_RUNTIME=1
                    -sINITIAL_MEMORY=64MB --pre-js ${PROJECT_SOURCE_DIR}/tests/web/node_env.js)
