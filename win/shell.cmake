# The Win32 dialog host (the panel's DialogPort on the system's own controls) and the panel
# program kestrel.exe, a GUI-subsystem program on the Win32 event loop and Winsock.
add_library(kestrel_win_dialog STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dialog_host.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dialog_template_win32.cpp
)
target_include_directories(kestrel_win_dialog PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(kestrel_win_dialog PUBLIC UNICODE _UNICODE)
target_link_libraries(kestrel_win_dialog PUBLIC kestrel_panel comctl32 user32 gdi32)
