#pragma once
// One QApplication for a window test executable, on the offscreen platform.
#include <QApplication>
#include <cstdlib>

namespace tavik::test {

inline QApplication& QtApp() {
  static int argc = 1;
  static char name[] = "tavik-test";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    QApplication::setApplicationDisplayName("Tavik Backup Copy");
    return a;
  }();
  return *app;
}

}  // namespace tavik::test
