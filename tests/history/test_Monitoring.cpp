#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "history/uHistory.h"
#include "history/uMonitoring.h"
#include "notify/uNotifier.h"
#include "platform/uErrors.h"
#include "tests/history/test_MonitoringSink.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

namespace tavik::test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(PingTest, StartSuccessAndFailureReachTheServiceWithTheLogTail) {
  THttpSink sink;
  EXPECT_EQ(PingStart(sink.Url() + "/", 5000), "");
  EXPECT_EQ(PingEnd(sink.Url(), 0, "line 1\nline 2\n", 5000), "");
  EXPECT_EQ(PingEnd(sink.Url(), 3, "Error: x\n", 5000), "");
  const auto r = sink.Requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].method, "GET");
  EXPECT_EQ(r[0].path, "/ping/abc/start");
  EXPECT_EQ(r[1].method, "POST");
  EXPECT_EQ(r[1].path, "/ping/abc/0");
  EXPECT_EQ(r[1].body, "line 1\nline 2\n");
  EXPECT_EQ(r[2].path, "/ping/abc/3");
  EXPECT_EQ(r[2].body, "Error: x\n");
}

TEST(PingTest, AFailedPingIsAReasonNeverAnException) {
  THttpSink refusing(500);
  EXPECT_THAT(PingStart(refusing.Url(), 5000), HasSubstr("HTTP 500"));
  // A port nobody listens on, a scheme that is not the web, an address that is no address.
  int closedPort;
  {
    THttpSink gone;
    closedPort = std::stoi(gone.Url().substr(17));
  }
  EXPECT_THAT(PingStart("http://127.0.0.1:" + std::to_string(closedPort), 5000), Not(IsEmpty()));
  TTempDir dir;
  EXPECT_THAT(PingEnd("file://" + dir.Path(), 0, "x", 5000), Not(IsEmpty()));
  EXPECT_FALSE(std::filesystem::exists(dir / "0"));
  EXPECT_THAT(PingStart("not a url", 5000), Not(IsEmpty()));
}

TEST(PingTest, AServerThatNeverAnswersCostsAtMostTheTimeout) {
  THttpSink silent(200, true);
  const int64_t began = MonotonicMs();
  EXPECT_THAT(PingEnd(silent.Url(), 0, "x", 700), HasSubstr("imed out"));
  // The bound itself, with room for a loaded machine; never the minutes a hung ping would take.
  EXPECT_LT(MonotonicMs() - began, 700 + 2000);
  EXPECT_EQ(silent.Requests().size(), 1u);
}

TEST(PingTest, AnHttpsServiceWhoseCertificateTheSystemDoesNotTrustIsRefused) {
  // A TLS server on loopback with a certificate of a test CA that no trust store holds.
  TTestCerts certs;
  TAioSmtpServer tls(std::nullopt,
                     TAioSmtpServer::TTls{TAioSmtpServer::TTls::Implicit, certs.serverPem, certs.serverKey});
  tls.Start();
  EXPECT_THAT(PingStart("https://127.0.0.1:" + std::to_string(tls.Port()) + "/ping", 5000),
              HasSubstr("certificate"));
}

TEST(PingTest, LastLinesKeepsTheTailOfTheLog) {
  TTempDir dir;
  std::string log;
  for (int i = 1; i <= 150; ++i) log += "line " + std::to_string(i) + "\n";
  WriteFile(dir / "log.txt", log);
  const std::string tail = LastLines(dir / "log.txt", PingLogLines);
  EXPECT_EQ(tail.substr(0, 8), "line 51\n");
  EXPECT_EQ(std::count(tail.begin(), tail.end(), '\n'), 100);
  EXPECT_EQ(LastLines(dir / "missing", 5), "");
}

// A night stopped before its volumes (the disk not mounted) must not make the volumes' series
// vanish: an alert on their age would fall silent instead of firing.
TEST(MetricsTest, ANightThatReachedNoVolumeKeepsEachVolumesSeries) {
  TTempDir dir;
  THistory h(dir / "h.db");
  const TDateTime t0 = FromLocal(2026, 12, 7, 22, 0, 0);
  THistoryVolume c;
  c.volume = "C";
  c.chain = "C_full";
  c.bytesCopied = 100;
  c.result = "OK";
  c.ended = t0 + std::chrono::seconds(60);
  int64_t id = h.RecordRunStart(t0, "server1");
  h.RecordVolume(id, c, std::nullopt);
  h.RecordRunEnd(id, t0 + std::chrono::seconds(90), 0, 0, std::nullopt);
  id = h.RecordRunStart(t0 + std::chrono::hours(24), "server1");
  h.RecordRunEnd(id, t0 + std::chrono::hours(24) + std::chrono::seconds(1), 1, 1, std::nullopt);

  const TMetrics m = MetricsFromHistory(h);
  EXPECT_EQ(m.exitStatus, 1);
  ASSERT_EQ(m.volumes.size(), 1u);
  EXPECT_EQ(m.volumes[0].name, "C");
  EXPECT_EQ(m.volumes[0].bytesCopied, 0);
  EXPECT_EQ(m.volumes[0].lastSuccess, c.ended);
}

TEST(MetricsTest, TheFileIsReadByThePrometheusParserWithTheRunsValues) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  TTempDir dir;
  THistory h(dir / "h.db");
  const TDateTime t0 = FromLocal(2026, 12, 7, 22, 0, 0);
  auto volume = [](const std::string& name, int64_t bytes, const std::string& result, TDateTime ended) {
    THistoryVolume v;
    v.volume = name;
    v.chain = name + "_full";
    v.bytesCopied = bytes;
    v.result = result;
    v.ended = ended;
    return v;
  };
  // A good night, then a night where the odd volume failed.
  int64_t id = h.RecordRunStart(t0, "server1");
  h.RecordDisk(id, "Disk1", "Disk1", 5000, 9000);
  h.RecordVolume(id, volume("C", 100, "OK", t0 + std::chrono::seconds(60)), 4900);
  h.RecordVolume(id, volume("Odd \"v\" \\x", 7, "OK", t0 + std::chrono::seconds(90)), 4893);
  h.RecordRunEnd(id, t0 + std::chrono::seconds(100), 0, 0, 4893);
  const TDateTime t1 = t0 + std::chrono::hours(24);
  id = h.RecordRunStart(t1, "server1");
  h.RecordDisk(id, "Disk2", "Disk2", 8000, 9000);
  THistoryVolume c = volume("C", 250, "OK", t1 + std::chrono::seconds(30));
  c.newestImage = t1 - std::chrono::hours(3);
  h.RecordVolume(id, c, 7750);
  h.RecordVolume(id, volume("Odd \"v\" \\x", 0, "Cannot open x", t1 + std::chrono::seconds(40)), 7750);
  h.RecordRunEnd(id, t1 + std::chrono::milliseconds(45500), 1, 2, 7750);
  // Disk1's read-back: two files failed, one repaired then.
  THistoryVerification v;
  v.disk = "Disk1";
  v.start = v.end = t1 + std::chrono::hours(1);
  v.files = 9;
  v.exitStatus = 1;
  v.failed = {{"/d/a: FAILED", "/d/a", "/s/a", TVerifyFailure::RepairedThen, ""},
              {"/d/b: FAILED", "/d/b", "/s/b", TVerifyFailure::NotRepaired, "its source /s/b is gone"}};
  v.failures = 2;
  h.RecordVerification(v);

  const std::string file = dir / "tavik.prom";
  WriteFile(file, "stale");
  WriteMetricsFile(file, MetricsText(MetricsFromHistory(h)));
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
  const std::string text = ReadFile(file);
  EXPECT_THAT(text, HasSubstr("volume=\"Odd \\\"v\\\" \\\\x\""));

  const double s0 = std::chrono::duration<double>(t0.time_since_epoch()).count();
  const double s1 = std::chrono::duration<double>(t1.time_since_epoch()).count();
  const std::map<std::string, double> m = ParseWithPrometheus(file);
  const std::map<std::string, double> want = {
      {"tavik_last_run_start_timestamp_seconds{}", s1},
      {"tavik_last_run_end_timestamp_seconds{}", s1 + 45.5},
      {"tavik_last_run_exit_status{}", 1},
      {"tavik_last_success_timestamp_seconds{}", s0 + 100},
      {"tavik_last_run_error_lines{}", 2},
      {"tavik_volume_bytes_copied{volume=C}", 250},
      {"tavik_volume_bytes_copied{volume=Odd \"v\" \\x}", 0},
      {"tavik_volume_last_success_timestamp_seconds{volume=C}", s1 + 30},
      {"tavik_volume_last_success_timestamp_seconds{volume=Odd \"v\" \\x}", s0 + 90},
      {"tavik_disk_free_bytes{disk=Disk1}", 4893},
      {"tavik_disk_free_bytes{disk=Disk2}", 7750},
      {"tavik_disk_last_seen_timestamp_seconds{disk=Disk1}", s0},
      {"tavik_disk_last_seen_timestamp_seconds{disk=Disk2}", s1},
      {"tavik_volume_newest_image_timestamp_seconds{volume=C}", s1 - 3 * 3600},
      {"tavik_verify_last_timestamp_seconds{disk=Disk1}", s1 + 3600},
      {"tavik_verify_failed_files{disk=Disk1}", 2},
      {"tavik_verify_repaired_files{disk=Disk1}", 1},
  };
  EXPECT_EQ(m, want);
}

TEST(MetricsTest, AFileThatCannotBeWrittenIsAnErrorAndTheOldOneStays) {
  TTempDir dir;
  EXPECT_THROW(WriteMetricsFile(dir / "missing/tavik.prom", "x 1\n"), EInOutError);
  // A folder that became writable by others after the check is refused on the folder written to.
  std::filesystem::create_directory(dir / "open");
  WriteFile(dir / "open/busy.prom", "old 1\n");
  ::chmod((dir / "open").c_str(), 0777);
  try {
    WriteMetricsFile(dir / "open/busy.prom", "new 1\n");
    ADD_FAILURE() << "wrote into a folder others can write to";
  } catch (const EInOutError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Cannot write metrics file " + dir / "open/busy.prom"));
  }
  EXPECT_EQ(ReadFile(dir / "open/busy.prom"), "old 1\n");
}

// What an earlier version took as its temporary name, planted: a FIFO that would hang the run, a
// file of another account that would have become the metrics. Neither is opened.
TEST(MetricsTest, NothingPlantedAtATemporaryNameIsUsed) {
  TTempDir dir;
  const std::string file = dir / "tavik.prom";
  ASSERT_EQ(::mkfifo((file + ".tmp").c_str(), 0666), 0);
  WriteFile(file + ".tmp-planted", "planted\n");
  WriteMetricsFile(file, "new 1\n");
  EXPECT_EQ(ReadFile(file), "new 1\n");
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(ReadFile(file + ".tmp-planted"), "planted\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3);
}

// A disk label from another system (Latin-1) stays in the rotation table for good: the file must
// still parse, and the label text must not be able to end its line or its quotes.
TEST(MetricsTest, LabelsThatAreNoUtf8OrHoldQuotesStillParse) {
  TTempDir dir;
  TMetrics m;
  m.disks.push_back({"Disk\xE9 \"x\" \\ 1", 100, {}});
  m.disks.push_back({"Caf\xC3\xA9 \xF0\x9F\x92\xBE \xED\xA0\x80 \xC3", 200, {}});
  const std::string file = dir / "tavik.prom";
  WriteMetricsFile(file, MetricsText(m));
  const std::map<std::string, double> parsed = ParseWithPrometheus(file);
  EXPECT_EQ(parsed.at("tavik_disk_free_bytes{disk=Disk\xEF\xBF\xBD \"x\" \\ 1}"), 100);
  EXPECT_EQ(parsed.at("tavik_disk_free_bytes{disk=Caf\xC3\xA9 \xF0\x9F\x92\xBE "
                      "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD}"),
            200);
}

TEST(MonitoringSettingsTest, TheKeysLiveInTheirOwnSectionOnlyWhenSet) {
  TSealedEnv env;
  TNotifier n;
  LoadSettings(n);
  SaveSettings(n);
  EXPECT_THAT(ReadFile(SettingsFilePath()), Not(HasSubstr("Monitoring")));
  n.MetricsFile = "/var/lib/node_exporter/tavik.prom";
  n.PingURL = "https://hc.example.org/ping/abc";
  n.VerifyPingURL = "https://hc.example.org/ping/verify";
  n.PushgatewayURL = "http://gw.example.org:9091/";
  SaveSettings(n);
  EXPECT_THAT(ReadFile(SettingsFilePath()), HasSubstr("[Monitoring]"));
  TNotifier back;
  LoadSettings(back);
  EXPECT_EQ(back.MetricsFile, n.MetricsFile);
  EXPECT_EQ(back.PingURL, n.PingURL);
  EXPECT_EQ(back.VerifyPingURL, n.VerifyPingURL);
  EXPECT_EQ(back.PushgatewayURL, n.PushgatewayURL);
}

// The host names the Pushgateway group; one that is no plain path segment goes in its base64 form.
TEST(PushTest, TheGroupIsTheJobAndTheHost) {
  EXPECT_EQ(PushAddress("http://gw:9091/", "srv1"), "http://gw:9091/metrics/job/tavik/instance/srv1");
  EXPECT_EQ(PushAddress("http://gw:9091", "my host/x"),
            "http://gw:9091/metrics/job/tavik/instance@base64/bXkgaG9zdC94");
  EXPECT_EQ(PushAddress("http://gw:9091", "\xff\xfe?"),
            "http://gw:9091/metrics/job/tavik/instance@base64/__4_");
}

}  // namespace
}  // namespace tavik::test
