#include "commands/uHistoryCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>

#include "QorvLib/uQorvFiles.h"
#include "core/uExitStatus.h"
#include "core/uRunValues.h"
#include "history/uHistoryTables.h"
#include "history/uMonitoring.h"
#include "platform/uSystem.h"

namespace tavik {

namespace {
// The error lines --status shows of the last run; the log holds them all.
constexpr size_t StatusErrorLines = 20;

// What the history holds came partly from disks and folders anyone may have written (an ID.txt,
// a file name): a terminal gets every line with its control bytes escaped as the log escapes them.
void ShowLines(std::ostream& out, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const size_t nl = text.find('\n', at);
    const size_t end = nl == std::string::npos ? text.size() : nl;
    out << EscapeControls(text.substr(at, end - at)) << (nl == std::string::npos ? "" : "\n");
    at = end + 1;
  }
}

// One JSON document built as text: strings made valid UTF-8 and escaped, numbers as numbers, times
// in RFC 3339 with the local offset.
class TJson {
 public:
  TJson& Open(char bracket) {
    Comma();
    text_ += bracket;
    first_ = true;
    return *this;
  }
  TJson& Close(char bracket) {
    text_ += bracket;
    first_ = false;
    return *this;
  }
  TJson& Key(const char* key) {
    Comma();
    text_ += Quoted(key) + ":";
    first_ = true;  // the value follows without a comma
    return *this;
  }
  TJson& Str(const std::string& v) { return Raw(Quoted(v)); }
  TJson& Num(int64_t v) { return Raw(std::to_string(v)); }
  TJson& Real(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return Raw(buf);
  }
  TJson& Bool(bool v) { return Raw(v ? "true" : "false"); }
  TJson& Null() { return Raw("null"); }
  TJson& Time(TDateTime t) {
    const TLocalTime l = ToLocal(t);
    const long off = l.gmtOffsetSeconds / 60;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", l.year, l.month, l.day,
                  l.hour, l.minute, l.second, off < 0 ? '-' : '+', std::labs(off) / 60, std::labs(off) % 60);
    return Str(buf);
  }
  TJson& Time(const std::optional<TDateTime>& t) { return t ? Time(*t) : Null(); }
  TJson& Num(const std::optional<int64_t>& v) { return v ? Num(*v) : Null(); }
  // An empty text as null: a disk not found, a chain not known.
  TJson& StrOrNull(const std::string& v) { return v.empty() ? Null() : Str(v); }
  const std::string& Text() const { return text_; }

 private:
  void Comma() {
    if (!first_) text_ += ",";
    first_ = false;
  }
  TJson& Raw(const std::string& v) {
    Comma();
    text_ += v;
    return *this;
  }
  static std::string Quoted(const std::string& v) {
    std::string r = "\"";
    for (unsigned char c : ValidUtf8(v)) {
      if (c == '"' || c == '\\') {
        r += '\\';
        r += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        r += buf;
      } else {
        r += static_cast<char>(c);
      }
    }
    return r + "\"";
  }
  std::string text_;
  bool first_ = true;
};

// All --status tells, read once, for the text and the JSON alike.
struct TStatusFacts {
  std::optional<THistoryRun> last;
  std::vector<std::string> errors;  // of the last run, as stored
  std::vector<THistoryVolume> volumes;
  std::vector<TRotationDisk> rotation;
  std::vector<THistoryVerification> readBacks;  // each disk's last, newest first
  int exitStatus = ExitNoRunYet;
};

// The last run's status, or 1 when it never ended; and 1 over 0, 3 or 4 while a disk's last
// read-back left a failure nothing has cleared since, as that disk is not known to hold a backup.
int StatusExit(const TStatusFacts& f) {
  int status = !f.last ? ExitNoRunYet : f.last->end ? f.last->exitStatus : ExitFailed;
  const bool outstanding = std::any_of(f.readBacks.begin(), f.readBacks.end(),
                                       [](const THistoryVerification& v) { return v.Outstanding() > 0; });
  if (outstanding) status = ExitFailed;
  return status;
}

TStatusFacts ReadStatus(const std::string& path) {
  TStatusFacts f;
  THistory h(path, THistory::TMode::Read);
  f.last = h.LastRun();
  if (f.last) {
    f.errors = h.RunErrors(f.last->id);
    f.volumes = h.Volumes(f.last->id);
  }
  f.rotation = h.Rotation(Now(), ScheduledDisksFromSettings());
  f.readBacks = h.LastVerifications();
  f.exitStatus = StatusExit(f);
  return f;
}

std::string RepairText(const TVerifyFailure& f) {
  switch (f.repair) {
    case TVerifyFailure::RepairedThen:
      return "repaired from its source";
    case TVerifyFailure::CopiedAgain:
      return "copied again by a later run";
    default:
      return "NOT repaired" + (f.reason.empty() ? "" : ": " + f.reason);
  }
}

void ReadBacksText(std::ostream& out, const std::vector<THistoryVerification>& readBacks) {
  out << "\nRead-backs\n";
  if (readBacks.empty()) out << "  none recorded\n";
  for (const THistoryVerification& v : readBacks) {
    out << "  " << v.disk << ": " << Stamp(v.end) << ", " << v.files << " files read back, " << v.failures
        << " FAILED, " << v.failures - v.Outstanding() << " repaired, exit status " << v.exitStatus;
    if (v.failures > 0) out << (v.Outstanding() == 0 ? " (cleared)" : " (NOT cleared)");
    out << "\n";
    for (size_t i = 0; i < v.failed.size() && i < StatusErrorLines; ++i) {
      const TVerifyFailure& x = v.failed[i];
      out << "    " << (x.path.empty() ? x.line : x.path + ": " + RepairText(x)) << "\n";
    }
    if (v.failed.size() > StatusErrorLines)
      out << "    ... and " << v.failed.size() - StatusErrorLines << " more\n";
  }
}

void StatusText(std::ostream& out, const TStatusFacts& f, const std::string& path) {
  if (!f.last) {
    out << "No run recorded yet (" << path << ")\n";
    if (!f.readBacks.empty()) ReadBacksText(out, f.readBacks);
    return;
  }
  const THistoryRun& r = *f.last;
  out << "Last run\n";
  out << "  Start:        " << Stamp(r.start) << "\n";
  out << "  End:          "
      << (r.end ? Stamp(*r.end) + " (" + ElapsedText(r.start, *r.end) + ")"
                : std::string("none: still running, or stopped before its end"))
      << "\n";
  out << "  Result:       " << RunResultText(r)
      << (r.end ? ", exit status " + std::to_string(r.exitStatus) : "") << "\n";
  out << "  Error lines:  " << r.errorLines << "\n";
  for (size_t i = 0; i < f.errors.size() && i < StatusErrorLines; ++i) out << "    " << f.errors[i] << "\n";
  if (r.errorLines > static_cast<int>(StatusErrorLines) && !f.errors.empty())
    out << "    ... and " << r.errorLines - static_cast<int>(StatusErrorLines) << " more\n";
  out << "  Host:         " << r.host << "\n";
  out << "  Disk:         " << (r.diskFound.empty() ? "-" : r.diskFound);
  if (!r.diskExpected.empty() && !SameText(r.diskExpected, r.diskFound))
    out << " (expected " << r.diskExpected << ")";
  if (r.diskFree && r.diskTotal)
    out << ", " << BytesText(*r.diskFree) << " free of " << BytesText(*r.diskTotal);
  out << "\n";
  out << "\nVolumes\n" << (f.volumes.empty() ? "  none recorded\n" : VolumesText(f.volumes));
  out << "\nRotation\n" << RotationText(f.rotation);
  ReadBacksText(out, f.readBacks);
}

void RunJson(TJson& j, const THistoryRun& r) {
  j.Key("start").Time(r.start).Key("end").Time(r.end);
  j.Key("elapsed_seconds");
  if (r.end)
    j.Real(std::chrono::duration<double>(*r.end - r.start).count());
  else
    j.Null();
  j.Key("result").Str(RunResultText(r)).Key("exit_status");
  if (r.end)
    j.Num(int64_t{r.exitStatus});
  else
    j.Null();
  j.Key("error_lines").Num(int64_t{r.errorLines}).Key("host").Str(r.host);
  j.Key("disk").StrOrNull(r.diskFound).Key("disk_expected").StrOrNull(r.diskExpected);
  j.Key("disk_free_bytes").Num(r.diskFree).Key("disk_total_bytes").Num(r.diskTotal);
}

void VolumeJson(TJson& j, const THistoryVolume& v) {
  j.Open('{').Key("volume").Str(v.volume).Key("chain").StrOrNull(v.chain);
  j.Key("newest_incremental").StrOrNull(v.newestIncremental).Key("newest_image").Time(v.newestImage);
  j.Key("files_copied").Num(v.filesCopied).Key("bytes_copied").Num(v.bytesCopied);
  j.Key("seconds").Real(v.seconds).Key("result").Str(v.result).Key("ended").Time(v.ended).Close('}');
}

void ReadBackJson(TJson& j, const THistoryVerification& v) {
  j.Open('{').Key("disk").Str(v.disk).Key("start").Time(v.start).Key("end").Time(v.end);
  j.Key("files").Num(int64_t{v.files}).Key("failed").Num(int64_t{v.failures});
  j.Key("repaired")
      .Num(int64_t{v.failures - v.Outstanding()})
      .Key("outstanding")
      .Num(int64_t{v.Outstanding()});
  j.Key("exit_status").Num(int64_t{v.exitStatus}).Key("failures").Open('[');
  for (const TVerifyFailure& x : v.failed) {
    j.Open('{').Key("line").Str(x.line).Key("path").StrOrNull(x.path).Key("repair");
    if (x.path.empty())
      j.Null();
    else
      j.Str(x.repair == TVerifyFailure::RepairedThen  ? "repaired"
            : x.repair == TVerifyFailure::CopiedAgain ? "copied again"
                                                      : "not repaired");
    j.Key("reason").StrOrNull(x.reason).Close('}');
  }
  j.Close(']').Close('}');
}

void StatusJson(TJson& j, const TStatusFacts& f) {
  j.Key("last_run");
  if (!f.last) {
    j.Null();
  } else {
    j.Open('{');
    RunJson(j, *f.last);
    j.Key("errors").Open('[');
    for (const std::string& e : f.errors) j.Str(e);
    j.Close(']').Key("volumes").Open('[');
    for (const THistoryVolume& v : f.volumes) VolumeJson(j, v);
    j.Close(']').Close('}');
  }
  j.Key("rotation").Open('[');
  for (const TRotationDisk& d : f.rotation) {
    j.Open('{').Key("disk").Str(d.id).Key("last_in").Time(d.lastSeen).Key("days_since");
    if (d.lastSeen)
      j.Num(int64_t{d.daysSince});
    else
      j.Null();
    j.Key("free_bytes").Num(d.freeBytes).Key("total_bytes").Num(d.totalBytes);
    j.Key("scheduled").Bool(d.scheduled).Key("overdue").Bool(d.overdue).Key("filling").Bool(d.filling);
    j.Key("holds").Open('[');
    for (const THistoryVolume& v : d.volumes) {
      j.Open('{').Key("volume").Str(v.volume).Key("chain").StrOrNull(v.chain);
      j.Key("newest_incremental").StrOrNull(v.newestIncremental).Close('}');
    }
    j.Close(']').Close('}');
  }
  j.Close(']').Key("read_backs").Open('[');
  for (const THistoryVerification& v : f.readBacks) ReadBackJson(j, v);
  j.Close(']');
}

// The document's frame: the history's path and the command's exit status around what body adds;
// a history that cannot be read leaves an "error" in place of the facts.
int Document(std::ostream& out, std::ostream& err, const std::string& path,
             const std::function<int(TJson&)>& body) {
  TJson j;
  j.Open('{').Key("history").Str(path);
  int status = ExitFailed;
  try {
    status = body(j);
  } catch (const std::exception& e) {
    err << "TavikBackupCopy: " << e.what() << "\n";
    j = TJson();
    j.Open('{').Key("history").Str(path).Key("error").Str(e.what());
    status = ExitFailed;
  }
  j.Key("exit_status").Num(int64_t{status}).Close('}');
  out << j.Text() << "\n";
  return status;
}
}  // namespace

int RunStatusCommand(std::ostream& out, std::ostream& err, const std::string& path, bool json) {
  if (json) {
    return Document(out, err, path, [&](TJson& j) {
      TStatusFacts f;
      if (HistoryExists(path)) f = ReadStatus(path);
      StatusJson(j, f);
      return f.exitStatus;
    });
  }
  if (!HistoryExists(path)) {
    out << "No run recorded yet (" << path << ")\n";
    return ExitNoRunYet;
  }
  try {
    const TStatusFacts f = ReadStatus(path);
    std::ostringstream text;
    StatusText(text, f, path);
    ShowLines(out, text.str());
    return f.exitStatus;
  } catch (const std::exception& e) {
    err << "TavikBackupCopy: " << e.what() << "\n";
    return ExitFailed;
  }
}

int RunHistoryCommand(int n, std::ostream& out, std::ostream& err, const std::string& path, bool json) {
  if (json) {
    return Document(out, err, path, [&](TJson& j) {
      std::vector<THistoryRun> runs;
      if (HistoryExists(path)) runs = THistory(path, THistory::TMode::Read).LastRuns(n);
      j.Key("runs").Open('[');
      for (const THistoryRun& r : runs) {
        j.Open('{');
        RunJson(j, r);
        j.Close('}');
      }
      j.Close(']');
      return ExitOk;
    });
  }
  if (!HistoryExists(path)) {
    out << "No run recorded yet (" << path << ")\n";
    return ExitOk;
  }
  try {
    THistory h(path, THistory::TMode::Read);
    const std::vector<THistoryRun> runs = h.LastRuns(n);
    std::ostringstream text;
    if (runs.empty()) text << "No run recorded yet (" << path << ")\n";
    for (const THistoryRun& r : runs) text << RunLine(r) << "\n";
    ShowLines(out, text.str());
    return ExitOk;
  } catch (const std::exception& e) {
    err << "TavikBackupCopy: " << e.what() << "\n";
    return ExitFailed;
  }
}

int HistoryCommandArgs(std::vector<std::string> args, std::ostream& out, std::ostream& err,
                       const std::string& path) {
  const auto jsonAt = std::find(args.begin(), args.end(), JsonSwitch);
  const bool json = jsonAt != args.end();
  if (json) args.erase(jsonAt);
  int n = DefaultHistoryRuns;
  if (args.size() > 1 || (args.size() == 1 && (args[0].empty() || args[0].size() > 6 ||
                                               !std::all_of(args[0].begin(), args[0].end(),
                                                            [](char c) { return c >= '0' && c <= '9'; }) ||
                                               (n = std::stoi(args[0])) < 1))) {
    std::string given;
    for (const std::string& a : args) given += (given.empty() ? "" : " ") + a;
    err << "TavikBackupCopy: --history takes one number of runs from 1 up and --json, not \"" << given
        << "\"\n";
    return ExitUsage;
  }
  return RunHistoryCommand(n, out, err, path, json);
}

}  // namespace tavik
