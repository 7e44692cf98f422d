#include "history/uHistoryTables.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ostream>

#include "QorvLib/uQorvFiles.h"
#include "core/uExitStatus.h"
#include "core/uRunValues.h"
#include "notify/uNotifier.h"
#include "notify/uNotifierSend.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

const char* const StampPattern = "dd/mm/yyyy HH:MM";

// A table of text cells, shown aligned in a terminal or a plain-text mail and as an HTML table.
struct TTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;

  std::string Text() const {
    std::vector<size_t> width(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& r) {
      for (size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
    };
    measure(header);
    for (const auto& r : rows) measure(r);
    auto line = [&](const std::vector<std::string>& r) {
      std::string l = " ";
      for (size_t i = 0; i < r.size(); ++i) l += " " + r[i] + std::string(width[i] - r[i].size(), ' ');
      while (!l.empty() && l.back() == ' ') l.pop_back();
      return l + "\n";
    };
    std::string t = line(header);
    for (const auto& r : rows) t += line(r);
    return t;
  }

  std::string Html() const {
    std::string t = "<table border=\"1\" cellpadding=\"3\" cellspacing=\"0\">\r\n<tr>";
    for (const std::string& h : header) t += "<th>" + HtmlText(h) + "</th>";
    t += "</tr>\r\n";
    for (const auto& r : rows) {
      t += "<tr>";
      for (const std::string& c : r) t += "<td>" + HtmlText(c) + "</td>";
      t += "</tr>\r\n";
    }
    return t + "</table>\r\n";
  }
};

std::string Marks(const TRotationDisk& d) {
  std::string m;
  if (d.overdue) m = "OVERDUE";
  if (d.filling) m += std::string(m.empty() ? "" : ", ") + "FILLING";
  if (d.lastVerified)
    m += std::string(m.empty() ? "" : ", ") + "verified " + Stamp(*d.lastVerified) +
         (d.verifyFailures == 0 ? " OK"
                                : ": " + std::to_string(d.verifyFailures) + " FAILED" +
                                      (d.verifyOutstanding == 0
                                           ? ", all repaired since"
                                           : ", " + std::to_string(d.verifyOutstanding) + " NOT repaired"));
  return m;
}

TTable RotationTable(const std::vector<TRotationDisk>& disks) {
  TTable t{{"Disk", "Last in", "Days since", "Free then", "Holds", "Note"}, {}};
  for (const TRotationDisk& d : disks) {
    std::string holds;
    for (const THistoryVolume& v : d.volumes) {
      if (!holds.empty()) holds += "; ";
      holds += v.volume + ": " + (v.chain.empty() ? "-" : v.chain);
      if (!v.newestIncremental.empty()) holds += " up to " + v.newestIncremental;
    }
    t.rows.push_back({d.id, d.lastSeen ? Stamp(*d.lastSeen) : "never",
                      d.lastSeen ? std::to_string(d.daysSince) : "-",
                      d.freeBytes ? BytesText(*d.freeBytes) : "-", holds.empty() ? "-" : holds, Marks(d)});
  }
  return t;
}

std::string Duration(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  return buf;
}

// How old the source's newest image was when the volume ran: hours up to two days, then days, as
// the staleness limit is set in hours and a stopped imaging is counted in days.
std::string AgeText(TDateTime::duration age) {
  const int64_t hours = std::max<int64_t>(std::chrono::duration_cast<std::chrono::hours>(age).count(), 0);
  return hours < 48 ? std::to_string(hours) + " h" : std::to_string(hours / 24) + " d";
}

TTable VolumesTable(const std::vector<THistoryVolume>& volumes) {
  TTable t{{"Volume", "Chain", "Newest incremental", "Image age", "Files", "Bytes", "Time", "Rate", "Result"},
           {}};
  for (const THistoryVolume& v : volumes) {
    const std::string rate =
        v.seconds > 0 ? BytesText(static_cast<int64_t>(static_cast<double>(v.bytesCopied) / v.seconds)) + "/s"
                      : "-";
    t.rows.push_back({v.volume, v.chain.empty() ? "-" : v.chain,
                      v.newestIncremental.empty() ? "-" : v.newestIncremental,
                      v.newestImage ? AgeText(v.ended - *v.newestImage) : "-", std::to_string(v.filesCopied),
                      BytesText(v.bytesCopied), Duration(v.seconds), rate, v.result});
  }
  return t;
}

TTable RunsTable(const std::vector<THistoryRun>& runs) {
  TTable t{{"Start", "Elapsed", "Result", "Error lines", "Disk", "Free after"}, {}};
  for (const THistoryRun& r : runs)
    t.rows.push_back({Stamp(r.start), r.end ? ElapsedText(r.start, *r.end) : "--:--:--", RunResultText(r),
                      std::to_string(r.errorLines), r.diskFound.empty() ? "-" : r.diskFound,
                      r.diskFree ? BytesText(*r.diskFree) : "-"});
  return t;
}

}  // namespace

std::string Stamp(TDateTime t) {
  return FormatDateTime(StampPattern, t);
}

bool HistoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

std::string BytesText(int64_t bytes) {
  static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double v = static_cast<double>(bytes);
  size_t u = 0;
  while ((v >= 1000 || v <= -1000) && u + 1 < std::size(units)) {
    v /= 1000;
    ++u;
  }
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string RunResultText(const THistoryRun& run) {
  if (!run.end) return "did not end";
  switch (run.exitStatus) {
    case ExitOk:
      return "OK";
    case ExitWrongDisk:
      return "wrong disk";
    default:
      return "errors";
  }
}

std::string RunLine(const THistoryRun& run) {
  std::string l = Stamp(run.start) + "  " + (run.end ? ElapsedText(run.start, *run.end) : "--:--:--") + "  ";
  const std::string result =
      RunResultText(run) + (run.end ? " (" + std::to_string(run.exitStatus) + ")" : "");
  l += result + std::string(result.size() < 14 ? 14 - result.size() : 1, ' ');
  l += std::to_string(run.errorLines) + " error line" + (run.errorLines == 1 ? "" : "s");
  l += "  disk " + (run.diskFound.empty() ? std::string("-") : run.diskFound);
  if (run.diskFree) l += ", " + BytesText(*run.diskFree) + " free";
  return l;
}

std::string RotationText(const std::vector<TRotationDisk>& disks) {
  return RotationTable(disks).Text();
}
std::string RotationHtml(const std::vector<TRotationDisk>& disks) {
  return RotationTable(disks).Html();
}
std::string VolumesText(const std::vector<THistoryVolume>& volumes) {
  return VolumesTable(volumes).Text();
}
std::string VolumesHtml(const std::vector<THistoryVolume>& volumes) {
  return VolumesTable(volumes).Html();
}

std::string OverdueLine(const std::vector<TRotationDisk>& disks) {
  std::string names;
  for (const TRotationDisk& d : disks) {
    if (!d.overdue) continue;
    names += (names.empty() ? "" : ", ") + d.id +
             (d.lastSeen ? " (last in " + Stamp(*d.lastSeen) + ")" : " (never seen)");
  }
  return names.empty() ? "" : "Overdue disks: " + names;
}

std::vector<std::string> ScheduledDisksFromSettings() {
  TNotifier n;
  LoadSettings(n);
  return n.IDDisk ? ScheduledDisks(n) : std::vector<std::string>();
}

std::string HistoryPageHtml(int n, const std::string& path) {
  if (!HistoryExists(path)) return "<p>No run recorded yet (" + HtmlText(path) + ")</p>";
  try {
    THistory h(path, THistory::TMode::Read);
    const std::vector<THistoryRun> runs = h.LastRuns(n);
    if (runs.empty()) return "<p>No run recorded yet (" + HtmlText(path) + ")</p>";
    return "<p><b>Rotation</b></p>\r\n" + RotationHtml(h.Rotation(Now(), ScheduledDisksFromSettings())) +
           "<p><b>Last runs</b></p>\r\n" + RunsTable(runs).Html();
  } catch (const std::exception& e) {
    return "<p>" + HtmlText(e.what()) + "</p>";
  }
}

}  // namespace tavik
