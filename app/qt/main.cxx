// Program entry: the application, its main window and the event loop.
#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/qt/uMain.h"
#include "app/uStartup.h"
#include "app/uSwitches.h"
#include "platform/qt/uQtUi.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const tavik::TSwitches switches = tavik::ParseSwitches(args);
  // Everything that needs no window is answered before Qt may go looking for a display.
  const tavik::TStartPlan plan = tavik::PlanStart(args, switches, tavik::ReadDisplayEnv());
  switch (plan.kind) {
    case tavik::TStartKind::Help:
      std::cout << tavik::UsageText() << std::flush;
      return 0;
    case tavik::TStartKind::Version:
      std::cout << tavik::VersionText() << std::endl;
      return 0;
    case tavik::TStartKind::NoDisplay:
      std::cerr << tavik::NoDisplayHint() << std::endl;
      return 2;
    case tavik::TStartKind::Run:
      break;
  }
  if (plan.offscreen) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const bool offscreen =
      std::getenv("QT_QPA_PLATFORM") && std::string(std::getenv("QT_QPA_PLATFORM")) == "offscreen";

  QApplication app(argc, argv);
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationDisplayName("Tavik Backup Copy");
  QApplication::setApplicationName("Tavik Backup Copy");
  // Lets the desktop match the window to the installed menu entry and its icon.
  QGuiApplication::setDesktopFileName("TavikBackupCopy");

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
