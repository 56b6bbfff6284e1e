# Every target links project_settings: warnings, and the sanitizers when asked.
add_library(project_settings INTERFACE)
target_compile_options(project_settings INTERFACE -Wall -Wextra -Wpedantic)
if(WARNINGS_AS_ERRORS)
  target_compile_options(project_settings INTERFACE -Werror)
endif()
if(ENABLE_SANITIZERS)
  target_compile_options(project_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(project_settings INTERFACE -fsanitize=address,undefined)
endif()
