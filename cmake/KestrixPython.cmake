# Picks the interpreter the Python module is built and tested for. The first python3 on PATH may
# be a private one (pyenv, a venv) without numpy or pytest; a module built for it could be neither
# imported with numpy nor tested, so the first candidate that has them wins.
if(DEFINED Python_EXECUTABLE)
  return()
endif()
set(needed numpy)
if(KESTRIX_BUILD_TESTS)
  list(APPEND needed pytest)
endif()
list(JOIN needed ", " imports)
find_program(path_python3 NAMES python3 NO_CACHE)
foreach(candidate ${path_python3} /usr/bin/python3)
  if(EXISTS "${candidate}")
    execute_process(COMMAND "${candidate}" -c "import ${imports}"
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(Python_EXECUTABLE "${candidate}" CACHE FILEPATH "The interpreter of the Python module")
      return()
    endif()
  endif()
endforeach()
