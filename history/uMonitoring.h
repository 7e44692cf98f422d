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
};

// The last run and what the history knows besides: each volume's last success, each disk's free
// space and last visit. Throws EInOutError when the history cannot be read or holds no run.
TMetrics MetricsFromHistory(THistory& history);

// A label value as the text format wants it: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
// The metrics, each with its HELP and TYPE lines.
std::string MetricsText(const TMetrics& m);
// Replaces path with text: written beside it under a temporary name, flushed and renamed, so a
// collector never reads half a file. Throws EInOutError naming the file and the reason.
void WriteMetricsFile(const std::string& path, const std::string& text);

// How much of the log the end ping carries.
inline constexpr size_t PingLogLines = 100;
// The last count lines of a text file ("" when it cannot be read).
std::string LastLines(const std::string& path, size_t count);

// "<baseUrl>/<what>", whatever trailing slashes the setting has.
std::string PingAddress(const std::string& baseUrl, const std::string& what);
// GET "<url>/start". Empty when the service took it, else why not.
std::string PingStart(const std::string& url, int32_t timeoutMs);
// POST "<url>/<exitStatus>" with body as plain text. Empty when the service took it, else why not.
std::string PingEnd(const std::string& url, int exitStatus, const std::string& body, int32_t timeoutMs);

}  // namespace tavik
