# A helper that rewrites the seen-id store and the settings file without end,
# for the test that kills it at random moments (tst_killrewrite).
add_executable(faults_rewriter ${CMAKE_CURRENT_LIST_DIR}/faults_rewriter.cpp)
target_include_directories(faults_rewriter PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(faults_rewriter PRIVATE quilcore)
