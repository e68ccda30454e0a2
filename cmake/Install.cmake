# `cmake --install` layout:
#   bin/corvaline, bin/corvaline-cli        the programs
#   share/corvaline/                        helper programs, bridge scripts and the model-runtime
#                                           module (installed by their own folders' rules), found
#                                           from bin/ through paths::resourceFolder
#   share/applications/corvaline.desktop    the desktop entry (app/ui)
#   share/icons/hicolor/scalable/apps/      the application icon (app/ui)
include(GNUInstallDirs)
if(TARGET corvaline-cli)
  install(TARGETS corvaline-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
