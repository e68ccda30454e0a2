# app/core runs on Qt Core only, so that the application's state and workflows build and run
# headless: no file there may include a QtGui, QtWidgets (or other toolkit) header. Bare class
# headers such as <QWidget> already fail to compile there, because the library links
# Qt6::Core alone; this check catches the module-qualified form and names the file.
file(GLOB_RECURSE files ${ROOT}/app/core/*.hpp ${ROOT}/app/core/*.cpp)
set(bad "")
foreach(f IN LISTS files)
  file(STRINGS ${f} lines
    REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](QtGui|QtWidgets|QtSvg|QtOpenGL|QtQuick|QtQml)[/>\"]")
  if(lines)
    list(APPEND bad ${f})
  endif()
  file(STRINGS ${f} lines
    REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](QWidget|QApplication|QGuiApplication|QDesktopServices|QFileDialog|QImage|QPixmap|QColor|QPainter|QIcon)[>\"]")
  if(lines)
    list(APPEND bad ${f})
  endif()
endforeach()
if(bad)
  list(REMOVE_DUPLICATES bad)
  message(FATAL_ERROR "app/core must stay on Qt Core; Gui/Widgets headers included by: ${bad}")
endif()
