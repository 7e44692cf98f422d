// Lines per second through the run's line path: the run log file, the window's Logs page and
// its status label, with the main window on the offscreen platform and pending events let run
// after every line, as a run does. Goal: at least 20,000 lines per second.
//   bench_log [lines]   (default 40,000; the log and settings go to a new folder under /tmp)
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "QorvLib/uQorvLogger.h"
#include "app/qt/uMain.h"
#include "core/uRunOutput.h"
#include "platform/qt/uQtUi.h"

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 40000;
  char tmpl[] = "/tmp/tavik-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string base = tmpl;
  for (const char* var : {"PROGRAMDATA", "XDG_DATA_HOME", "HOME"}) ::setenv(var, tmpl, 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  tavik::TQtUi ui(true);
  tavik::SetUi(&ui);
  double seconds = 0;
  {
    tavik::TFrmMain window(tavik::TSwitches{});
    window.show();
    QApplication::processEvents();
    tavik::TLineOutput out(*window.Logger(), window);
    const std::string line =
        "File copying /srv/images/c/SRV01_C_VOL-b001-i01234.spi to /media/backup/tavik/c/";
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) {
      if (i % 10 == 9)
        out.ShowStatus("Found a possible 10000 incrementals to copy. Copying ones that do not exist.");
      else
        out.LogLine(line, false);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  tavik::SetUi(nullptr);
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("%d lines in %.2f s: %.0f lines per second (goal >= 20000); load average %.2f %.2f %.2f\n",
              lines, seconds, lines / seconds, load[0], load[1], load[2]);
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return 0;
}
