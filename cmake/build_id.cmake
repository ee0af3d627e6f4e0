# HISTORIAN_BUILD_ID: the short commit hash of the source tree when it is a git checkout, else
# "unknown"; --version prints it. A new commit re-runs the configuration, so the id stays true.
set(HISTORIAN_BUILD_ID unknown)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE _historian_commit OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _historian_git_status ERROR_QUIET)
  if(_historian_git_status EQUAL 0 AND _historian_commit)
    set(HISTORIAN_BUILD_ID ${_historian_commit})
    # HEAD, and the branch file it names, change with every commit or checkout.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE _historian_head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} symbolic-ref -q HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE _historian_branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(_historian_watched ${_historian_head})
    if(_historian_branch)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute
        --git-path ${_historian_branch}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE _historian_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      list(APPEND _historian_watched ${_historian_ref})
    endif()
    foreach(_file IN LISTS _historian_watched)
      if(EXISTS ${_file})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_file})
      endif()
    endforeach()
  endif()
endif()
