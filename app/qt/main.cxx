// Program entry: the application, its main window and the event loop.
#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/qt/uMain.h"
#include "app/uStartup.h"
#include "commands/uShellCommands.h"
#include "commands/uUsage.h"
#include "platform/qt/uQtUi.h"
#include "run/uSwitches.h"

namespace {
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type == QtFatalMsg) {
    std::cerr << text.toLocal8Bit().constData() << std::endl;
    std::abort();
  }
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const tavik::TSwitches switches = tavik::ParseSwitches(args);
  // Everything that needs no window is answered before Qt may go looking for a display.
  const tavik::TStartPlan plan = tavik::PlanStart(args, switches, tavik::ReadDisplayEnv());
  switch (plan.kind) {
    case tavik::TStartKind::Command:
      return plan.command->run(plan.commandArgs, {std::cin, std::cout, std::cerr});
    case tavik::TStartKind::UnknownOption:
      std::cerr << tavik::UnknownOptionText(plan.unknown, tavik::ShellCommands()) << std::flush;
      return tavik::ExitUsage;
    case tavik::TStartKind::NoDisplay:
      std::cerr << tavik::NoDisplayHint() << std::endl;
      return tavik::ExitUsage;
    case tavik::TStartKind::Run:
      break;
  }
  if (plan.offscreen) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (plan.offscreenFallback) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    ::setenv("QT_QPA_PLATFORM", wayland && *wayland ? "wayland;xcb;offscreen" : "xcb;offscreen", 1);
  }
  // A scheduler mails or journals whatever reaches standard error: there only the program's own
  // words belong, not Qt's notes about the platform it settled on.
  if (switches.Unattended() || switches.preCheck) qInstallMessageHandler(QuietQtMessages);

  QApplication app(argc, argv);
  // Where nobody can see a window, nobody can answer a question either.
  const bool offscreen = QGuiApplication::platformName() == "offscreen";
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
