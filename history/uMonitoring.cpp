#include "history/uMonitoring.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>

#include "QorvLib/uQorvFiles.h"
#include "core/uVersion.h"
#include "history/uHistory.h"
#include "mail/VumAttFile.h"
#include "platform/uErrors.h"
#include "platform/uSafeFiles.h"

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

}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = b[i];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range, narrowed where overlong or surrogate
    if (c < 0x80)
      len = 1;
    else if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char lowest = k == 1 ? lo : 0x80, highest = k == 1 ? hi : 0xBF;
      ok = b[i + k] >= lowest && b[i + k] <= highest;
    }
    if (ok) {
      r.append(text, i, len);
      i += len;
    } else {
      r += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return r;
}

namespace {

// Why the folder, as stat shows it, may not hold the metrics; "" when it may.
std::string FolderProblem(const std::string& folder, const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return folder + " is no folder";
  if (st.st_uid != 0 && st.st_uid != ::geteuid())
    return folder + " belongs to another account (uid " + std::to_string(st.st_uid) + ")";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return folder + " is writable by other accounts";
  return {};
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

// RFC 4648's URL-safe alphabet, padded, as the Pushgateway reads a label value in a path.
std::string Base64Url(const std::string& bytes) {
  std::string r = TBase64Codec().Encode(bytes, false);
  std::replace(r.begin(), r.end(), '+', '-');
  std::replace(r.begin(), r.end(), '/', '_');
  return r;
}

std::once_flag curlInit;

size_t Discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// One request, a GET without a body; empty when the service answered with a success status.
std::string Request(const std::string& address, const std::string* postBody, int32_t timeoutMs,
                    const char* method = nullptr) {
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
  if (method) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
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
  // A night that never reached a volume (the disk not there) copied nothing of it; its series
  // stay, so an alert on a volume's age fires instead of falling silent.
  for (const auto& success : successes)
    if (std::none_of(m.volumes.begin(), m.volumes.end(),
                     [&](const TMetrics::TVolume& v) { return v.name == success.first; }))
      m.volumes.push_back({success.first, 0, success.second});
  for (const TRotationDisk& d : history.Rotation(m.runEnd, {}))
    if (d.lastSeen) m.disks.push_back({d.id, d.freeBytes, *d.lastSeen});
  for (const THistoryVerification& v : history.LastVerifications())
    m.readBacks.push_back({v.disk, v.end, v.failures, v.failures - v.Outstanding()});
  m.newestImages = history.NewestImages();
  return m;
}

std::string EscapeLabelValue(const std::string& value) {
  return Escaped(ValidUtf8(value), true);
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
  w.Family("tavik_volume_newest_image_timestamp_seconds",
           "When the newest image of the volume's chain in its source was written (Unix time), as the "
           "last run that read the source found it.");
  for (const auto& [volume, when] : m.newestImages)
    w.Sample("tavik_volume_newest_image_timestamp_seconds", Seconds(when), "volume", volume);
  w.Family("tavik_verify_last_timestamp_seconds", "When the backup disk was last read back (Unix time).");
  for (const TMetrics::TReadBack& r : m.readBacks)
    w.Sample("tavik_verify_last_timestamp_seconds", Seconds(r.at), "disk", r.disk);
  w.Family("tavik_verify_failed_files", "Files the last read-back of the backup disk found FAILED.");
  for (const TMetrics::TReadBack& r : m.readBacks)
    w.Sample("tavik_verify_failed_files", std::to_string(r.failed), "disk", r.disk);
  w.Family("tavik_verify_repaired_files",
           "Of the failed files of the disk's last read-back, those repaired from their source then or "
           "copied again by a run since.");
  for (const TMetrics::TReadBack& r : m.readBacks)
    w.Sample("tavik_verify_repaired_files", std::to_string(r.repaired), "disk", r.disk);
  return w.Text();
}

std::string MetricsFileProblem(const std::string& path, const std::vector<std::string>& ownFiles) {
  const std::string prefix = "MetricsFile " + path + ": ";
  if (path.empty() || path[0] != '/') return prefix + "not an absolute path";
  const std::string name = ExtractFileName(path);
  if (name.size() <= 5 || !SameText(ExtractFileExt(name), ".prom"))
    return prefix + "the name must end in .prom, the only files the textfile collector reads";
  const std::string folder = ExtractFilePath(path);
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return prefix + folder + ": " + SysErrorMessage(errno);
  if (const std::string problem = FolderProblem(folder, st); !problem.empty()) return prefix + problem;
  struct stat target {};
  const bool exists = ::lstat(path.c_str(), &target) == 0;
  if (exists && !S_ISREG(target.st_mode)) return prefix + "not a regular file";
  char resolved[PATH_MAX];
  const std::string real =
      ::realpath(folder.c_str(), resolved) ? IncludeTrailingSeparator(resolved) + name : path;
  for (const std::string& own : ownFiles) {
    struct stat o {};
    const bool same =
        (exists && ::stat(own.c_str(), &o) == 0 && o.st_dev == target.st_dev && o.st_ino == target.st_ino) ||
        own == path || own == real ||
        (::realpath(ExtractFilePath(own).c_str(), resolved) &&
         IncludeTrailingSeparator(resolved) + ExtractFileName(own) == real);
    if (same) return prefix + "one of the program's own files (" + own + ")";
  }
  return {};
}

void WriteMetricsFile(const std::string& path, const std::string& text) {
  auto failure = [&](int err) {
    return EInOutError("Cannot write metrics file " + path + ": " + SysErrorMessage(err));
  };
  const std::string folder = ExtractFilePath(path), name = ExtractFileName(path);
  // Everything below goes through this one folder, so the folder checked is the one written to,
  // whatever is renamed above it meanwhile.
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) throw failure(errno);
  struct stat st {};
  std::string problem = ::fstat(dir, &st) != 0 ? SysErrorMessage(errno) : FolderProblem(folder, st);
  if (!problem.empty()) {
    ::close(dir);
    throw EInOutError("Cannot write metrics file " + path + ": " + problem);
  }
  std::string temp;
  int err = 0;
  // A collector runs as another user: the file is readable by all, as the metrics are no secret.
  const int fd = CreateUniqueFile(name, 0644, temp, err, dir);
  if (fd < 0) {
    ::close(dir);
    throw failure(err);
  }
  auto fail = [&](int e) {
    ::unlinkat(dir, temp.c_str(), 0);
    ::close(dir);
    throw failure(e);
  };
  if (::fchmod(fd, 0644) != 0 || !WriteAll(fd, text.data(), text.size(), err)) {
    if (err == 0) err = errno;
    ::close(fd);
    fail(err);
  }
  // No fsync: the rename alone keeps a collector from ever reading half a file, and a file lost to
  // a power cut is written anew by the next run, while waiting for the disk cost a quick run more
  // than all its other recording together.
  if (::close(fd) != 0) fail(errno);
  if (::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) fail(errno);
  ::close(dir);
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

std::string PushAddress(const std::string& baseUrl, const std::string& host) {
  // The host as one path segment: the Pushgateway's own escape for anything else is base64.
  std::string segment;
  for (unsigned char c : host)
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_') segment += static_cast<char>(c);
  if (segment != host) {
    return PingAddress(baseUrl, "metrics/job/tavik/instance@base64/" + Base64Url(host));
  }
  return PingAddress(baseUrl, "metrics/job/tavik/instance/" + host);
}

std::string PushMetrics(const std::string& baseUrl, const std::string& host, const std::string& text,
                        int32_t timeoutMs) {
  return Request(PushAddress(baseUrl, host), &text, timeoutMs, "PUT");
}

std::string PingStart(const std::string& url, int32_t timeoutMs) {
  return Request(PingAddress(url, "start"), nullptr, timeoutMs);
}

std::string PingEnd(const std::string& url, int exitStatus, const std::string& body, int32_t timeoutMs) {
  return Request(PingAddress(url, std::to_string(exitStatus)), &body, timeoutMs);
}

}  // namespace tavik
