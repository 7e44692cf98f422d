#include "history/uMonitoring.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>

#include "QorvLib/uQorvFiles.h"
#include "core/uVersion.h"
#include "history/uHistory.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {

std::string Seconds(TDateTime t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(ms) / 1000.0);
  return buf;
}

// Backslash and line feed escaped, and for a label value the double quote too.
std::string Escaped(const std::string& text, bool quote) {
  std::string r;
  for (char c : text) {
    if (c == '\\' || (quote && c == '"'))
      r += std::string("\\") + c;
    else if (c == '\n')
      r += "\\n";
    else
      r += c;
  }
  return r;
}

class TMetricsWriter {
 public:
  void Family(const char* name, const char* help) {
    text_ += std::string("# HELP ") + name + " " + Escaped(help, false) + "\n";
    text_ += std::string("# TYPE ") + name + " gauge\n";
  }
  void Sample(const char* name, const std::string& value, const char* label = nullptr,
              const std::string& labelValue = "") {
    text_ += name;
    if (label) text_ += std::string("{") + label + "=\"" + EscapeLabelValue(labelValue) + "\"}";
    text_ += " " + value + "\n";
  }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

std::once_flag curlInit;

size_t Discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// One request; empty when the service answered with a success status.
std::string Request(const std::string& address, const std::string* postBody, int32_t timeoutMs) {
  std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) return "cannot start the HTTP client";
  char error[CURL_ERROR_SIZE] = "";
  const std::string agent = std::string("TavikBackupCopy/") + ProgramVersion;
  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
  // Only the web: a setting naming file:// or another scheme reads or writes nothing here.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // The whole exchange, connect included, within the one time the mail client also allows.
  if (timeoutMs > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  curl_slist* headers = nullptr;
  if (postBody) {
    headers = curl_slist_append(headers, "Content-Type: text/plain; charset=utf-8");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
  }
  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) return *error ? error : curl_easy_strerror(rc);
  if (status < 200 || status >= 300) return "the service answered HTTP " + std::to_string(status);
  return {};
}

}  // namespace

TMetrics MetricsFromHistory(THistory& history) {
  const std::optional<THistoryRun> last = history.LastRun();
  if (!last) throw EInOutError("History " + history.Path() + " holds no runs");
  TMetrics m;
  m.runStart = last->start;
  m.runEnd = last->end.value_or(last->start);
  m.exitStatus = last->exitStatus;
  m.errorLines = last->errorLines;
  m.lastSuccess = history.LastSuccess();
  const std::vector<std::pair<std::string, TDateTime>> successes = history.VolumeSuccesses();
  for (const THistoryVolume& v : history.Volumes(last->id)) {
    TMetrics::TVolume mv{v.volume, v.bytesCopied, std::nullopt};
    for (const auto& [name, when] : successes)
      if (name == v.volume) mv.lastSuccess = when;
    m.volumes.push_back(mv);
  }
  for (const TRotationDisk& d : history.Rotation(m.runEnd, {}))
    if (d.lastSeen) m.disks.push_back({d.id, d.freeBytes, *d.lastSeen});
  return m;
}

std::string EscapeLabelValue(const std::string& value) {
  return Escaped(value, true);
}

std::string MetricsText(const TMetrics& m) {
  TMetricsWriter w;
  w.Family("tavik_last_run_start_timestamp_seconds", "When the last backup run started (Unix time).");
  w.Sample("tavik_last_run_start_timestamp_seconds", Seconds(m.runStart));
  w.Family("tavik_last_run_end_timestamp_seconds", "When the last backup run ended (Unix time).");
  w.Sample("tavik_last_run_end_timestamp_seconds", Seconds(m.runEnd));
  w.Family("tavik_last_run_exit_status", "Exit status of the last backup run; 0 is success.");
  w.Sample("tavik_last_run_exit_status", std::to_string(m.exitStatus));
  w.Family("tavik_last_success_timestamp_seconds",
           "When the last backup run with exit status 0 ended (Unix time); 0 when none has.");
  w.Sample("tavik_last_success_timestamp_seconds", m.lastSuccess ? Seconds(*m.lastSuccess) : "0");
  w.Family("tavik_last_run_error_lines", "Error lines the last backup run wrote.");
  w.Sample("tavik_last_run_error_lines", std::to_string(m.errorLines));
  w.Family("tavik_volume_bytes_copied", "Bytes the last backup run copied for the volume.");
  for (const TMetrics::TVolume& v : m.volumes)
    w.Sample("tavik_volume_bytes_copied", std::to_string(v.bytesCopied), "volume", v.name);
  w.Family("tavik_volume_last_success_timestamp_seconds",
           "When the volume was last copied without an error (Unix time).");
  for (const TMetrics::TVolume& v : m.volumes)
    if (v.lastSuccess)
      w.Sample("tavik_volume_last_success_timestamp_seconds", Seconds(*v.lastSuccess), "volume", v.name);
  w.Family("tavik_disk_free_bytes", "Free bytes on the backup disk when it was last in.");
  for (const TMetrics::TDisk& d : m.disks)
    if (d.freeBytes) w.Sample("tavik_disk_free_bytes", std::to_string(*d.freeBytes), "disk", d.id);
  w.Family("tavik_disk_last_seen_timestamp_seconds", "When the backup disk was last in (Unix time).");
  for (const TMetrics::TDisk& d : m.disks)
    w.Sample("tavik_disk_last_seen_timestamp_seconds", Seconds(d.lastSeen), "disk", d.id);
  return w.Text();
}

void WriteMetricsFile(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  auto fail = [&](int err) {
    ::unlink(temp.c_str());
    throw EInOutError("Cannot write metrics file " + path + ": " + SysErrorMessage(err));
  };
  // A collector runs as another user: the file is readable by all, as the metrics are no secret.
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw EInOutError("Cannot write metrics file " + path + ": " + SysErrorMessage(errno));
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      fail(err);
    }
    done += static_cast<size_t>(n);
  }
  // No fsync: the rename alone keeps a collector from ever reading half a file, and a file lost to
  // a power cut is written anew by the next run, while waiting for the disk cost a quick run more
  // than all its other recording together.
  if (::close(fd) != 0) fail(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0) fail(errno);
}

std::string LastLines(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (lines.size() > count) lines.pop_front();
  }
  std::string r;
  for (const std::string& l : lines) r += l + "\n";
  return r;
}

std::string PingAddress(const std::string& baseUrl, const std::string& what) {
  std::string base = baseUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/" + what;
}

std::string PingStart(const std::string& url, int32_t timeoutMs) {
  return Request(PingAddress(url, "start"), nullptr, timeoutMs);
}

std::string PingEnd(const std::string& url, int exitStatus, const std::string& body, int32_t timeoutMs) {
  return Request(PingAddress(url, std::to_string(exitStatus)), &body, timeoutMs);
}

}  // namespace tavik
