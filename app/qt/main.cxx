// Program entry: the application, its main window and the event loop.
#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/qt/uMain.h"
#include "app/uSwitches.h"
#include "platform/qt/uQtUi.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const tavik::TSwitches switches = tavik::ParseSwitches(args);
  // A scheduled run on a server without a desktop must still start.
  const bool noDisplay = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
  if (noDisplay && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const bool offscreen =
      std::getenv("QT_QPA_PLATFORM") && std::string(std::getenv("QT_QPA_PLATFORM")) == "offscreen";

  QApplication app(argc, argv);
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationDisplayName("Tavik Backup Copy");
  QApplication::setApplicationName("Tavik Backup Copy");

  tavik::TQtUi ui(switches.hidden || switches.preCheck || offscreen);
  tavik::SetUi(&ui);

  int code = 0;
  {
    tavik::TFrmMain frmMain(switches);
    if (switches.hidden)
      frmMain.FormShow();
    else
      frmMain.show();
    code = app.exec();
    if (code == 0) code = frmMain.ExitCode();
  }
  tavik::SetUi(nullptr);
  return code;
}
