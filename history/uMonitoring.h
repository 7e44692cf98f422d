#pragma once
// What the monitoring a site already has can read of the runs: a metrics file in the text format
// that node_exporter's textfile collector reads, and pings to a check service (a GET when a run
// starts, a POST with the exit status and the log's tail when it ends). Both listen to the run;
// neither can change its outcome: every failure is a text the caller logs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/uClock.h"

namespace tavik {

class THistory;

struct TMetrics {
  TDateTime runStart{};
  TDateTime runEnd{};
  int exitStatus = 0;
  int errorLines = 0;
  std::optional<TDateTime> lastSuccess;  // written as 0 when there never was one
  struct TVolume {
    std::string name;
    int64_t bytesCopied = 0;               // in the last run
    std::optional<TDateTime> lastSuccess;  // left out when never
  };
  std::vector<TVolume> volumes;
  struct TDisk {
    std::string id;
    std::optional<int64_t> freeBytes;  // left out when unknown
    TDateTime lastSeen{};
  };
  std::vector<TDisk> disks;
  struct TReadBack {
    std::string disk;
    TDateTime at{};
    int failed = 0;    // files (or problems) its last read-back found FAILED
    int repaired = 0;  // of those, repaired then or copied again by a run since
  };
  std::vector<TReadBack> readBacks;
  std::vector<std::pair<std::string, TDateTime>> newestImages;  // per volume, the source's newest image
};

// The last run and what the history knows besides: each volume's last success, each disk's free
// space and last visit. Throws EInOutError when the history cannot be read or holds no run.
TMetrics MetricsFromHistory(THistory& history);

// text with each byte that does not belong to a well-formed UTF-8 sequence replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);
// A label value as the text format wants it: backslash, double quote and line feed escaped, and
// every byte that is not part of UTF-8 replaced by U+FFFD (a parser refuses the whole file over one).
std::string EscapeLabelValue(const std::string& value);
// The metrics, each with its HELP and TYPE lines.
std::string MetricsText(const TMetrics& m);
// Why path may not take the metrics, or "" when it may. A root run writes there, and the path
// comes from a settings file another account may own: so only where root (or the run's own
// account) alone decides what lies there. The path must be absolute and end in ".prom" (all the
// textfile collector reads), its folder must be owned by root or this account and writable by
// no one else (a sticky bit does not do: anyone could still take a name there first), and it
// must be none of ownFiles (the program's own settings, history, lock, log and job file) nor
// anything but a regular file.
std::string MetricsFileProblem(const std::string& path, const std::vector<std::string>& ownFiles);
// Replaces path with text: written beside it under a new name nobody could take first, and
// renamed, so a collector never reads half a file; the folder is checked as MetricsFileProblem
// checks it on the very folder written to. Throws EInOutError naming the file and the reason.
void WriteMetricsFile(const std::string& path, const std::string& text);

// How much of the log the end ping carries.
inline constexpr size_t PingLogLines = 100;
// The last count lines of a text file ("" when it cannot be read).
std::string LastLines(const std::string& path, size_t count);

// "<baseUrl>/<what>", whatever trailing slashes the setting has.
std::string PingAddress(const std::string& baseUrl, const std::string& what);
// "<baseUrl>/metrics/job/tavik/instance/<host>": the group a host's metrics replace.
std::string PushAddress(const std::string& baseUrl, const std::string& host);
// PUT text to the Pushgateway at baseUrl, as the group of job "tavik" and instance host. Empty
// when it took them, else why not.
std::string PushMetrics(const std::string& baseUrl, const std::string& host, const std::string& text,
                        int32_t timeoutMs);
// GET "<url>/start". Empty when the service took it, else why not.
std::string PingStart(const std::string& url, int32_t timeoutMs);
// POST "<url>/<exitStatus>" with body as plain text. Empty when the service took it, else why not.
std::string PingEnd(const std::string& url, int exitStatus, const std::string& body, int32_t timeoutMs);

}  // namespace tavik
