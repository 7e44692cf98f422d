// Sends a mail with a 240 KiB attachment to a local aiosmtpd with TVumSMTP and, in the same run,
// the very bytes that arrived with Python's smtplib, and prints the time per send of both.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "mail/VumMsg.h"
#include "mail/VumSMTP.h"
#include "platform/uClock.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

using namespace tavik;

namespace {

constexpr int kSends = 20;
constexpr int kRounds = 3;

double TavikSecondsPerSend(int port, TVumMsg& msg) {
  const int64_t start = MonotonicMs();
  for (int i = 0; i < kSends; ++i) {
    TVumSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = std::to_string(port);
    if (!smtp.Connect() || !smtp.SendMessage(msg)) {
      std::fprintf(stderr, "TVumSMTP send failed: %s %s\n", smtp.ReplyCode().c_str(),
                   smtp.ReplyText().c_str());
      std::exit(1);
    }
    smtp.Disconnect();
  }
  return (MonotonicMs() - start) / 1000.0 / kSends;
}

double SmtplibSecondsPerSend(int port, const std::string& messageFile) {
  const std::string command = std::string(test::TestPython) + " " + test::SupportScript("smtplib_send.py") +
                              " " + std::to_string(port) + " '" + messageFile + "' " +
                              std::to_string(kSends) + " backup@example.org ann@example.org";
  std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
  double seconds = 0;
  if (!out || std::fscanf(out.get(), "%lf", &seconds) != 1) {
    std::fprintf(stderr, "smtplib run failed\n");
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main() {
  test::TTempDir dir;
  std::string attachment(240 * 1024, '\0');
  for (size_t i = 0; i < attachment.size(); ++i) attachment[i] = static_cast<char>((i * 2654435761u) >> 13);
  test::WriteFile(dir / "image.bin", attachment);

  TVumMsg msg;
  msg.SetFrom("Backup <backup@example.org>");
  msg.SetSendTo("ann@example.org");
  msg.Subject = "Benchmark";
  msg.Text() = {"A mail with an attachment."};
  msg.Attachments().Add(dir / "image.bin");
  msg.Compose();

  test::TAioSmtpServer server;
  server.Start();
  // The first send also gives the bytes that smtplib is to send: the same message as received.
  TavikSecondsPerSend(server.Port(), msg);
  test::WriteFile(dir / "message.eml", server.Messages().front().raw);

  double tavik = 1e9, python = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    tavik = std::min(tavik, TavikSecondsPerSend(server.Port(), msg));
    python = std::min(python, SmtplibSecondsPerSend(server.Port(), dir / "message.eml"));
  }
  std::printf("message: %zu lines, %zu bytes on the wire; best of %d rounds of %d sends\n",
              msg.RawMail().size(), server.Messages().front().raw.size(), kRounds, kSends);
  std::printf("TVumSMTP: %.2f ms per send\n", tavik * 1000);
  std::printf("smtplib:  %.2f ms per send\n", python * 1000);
  std::printf("ratio TVumSMTP / smtplib: %.2f\n", tavik / python);
  return 0;
}
