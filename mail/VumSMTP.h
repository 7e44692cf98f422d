#pragma once
// The SMTP client: delivers one composed message over a blocking TCP connection, plain or, when
// asked, encrypted by the socket underneath (the dialogue itself never knows which).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/uSocket.h"

namespace tavik {

class TVumMsg;

// How the connection is secured: plain as SMTP always was, TLS after STARTTLS (required, never
// falling back to plain), or TLS from the first byte (usually port 465).
enum TSmtpSecurity { ssNone = 0, ssStartTls = 1, ssImplicitTls = 2 };

// Sender is the client itself or its socket, as each event says.
using TNotifyEvent = std::function<void(void* sender)>;
using TSocketNotifyEvent = std::function<void(void* sender, TClientSocket& socket)>;
using TOnError = std::function<void(void* sender, int error, const std::string& msg)>;
using TOnSendProgressEvent = std::function<void(void* sender, uint16_t percent)>;
using TToFromSocketEvent = std::function<void(void* sender, const std::string& s)>;

class TVumSMTP {
 public:
  TVumSMTP();
  ~TVumSMTP();  // an open connection is closed without QUIT
  TVumSMTP(const TVumSMTP&) = delete;
  TVumSMTP& operator=(const TVumSMTP&) = delete;

  std::string Port = "25";
  std::string Host;
  const std::string& LocalHost() const { return localHost_; }
  const std::string& LocalAddr() const { return localAddr_; }
  bool LocalizedDates = false;
  std::string NameServer;
  std::string LocalDomainName;
  uint16_t SendProgressStep = 10;

  TNotifyEvent OnConnect;
  TNotifyEvent OnQuit;
  TOnError OnError;
  TNotifyEvent OnBeforeSend;
  TNotifyEvent OnAfterSend;
  TOnSendProgressEvent OnSendProgress;
  TSocketNotifyEvent OnLookup;
  TSocketNotifyEvent OnConnecting;
  TToFromSocketEvent OnSendTextToSocket;
  TToFromSocketEvent OnReceiveTextFromSocket;

  // Milliseconds allowed for the connect and for each reply; 0 or less waits without limit.
  int32_t OperationTimeout = 30000;
  int32_t TimeOut() const { return OperationTimeout; }
  void SetTimeOut(int32_t ms) { OperationTimeout = ms; }
  std::string UserId;
  std::string UserPasswd;

  TSmtpSecurity Security = ssNone;
  std::string CAFile;       // extra trusted certificates (PEM); empty: the system's only
  std::string Fingerprint;  // SHA-256 of the one certificate to accept, whatever its issuer and name
  // Why the last Connect could not secure the connection (STARTTLS missing or refused, handshake or
  // certificate check failed); empty when it did not fail for that.
  const std::string& TlsError() const { return tlsError_; }

  bool Failed() const { return failed_; }
  // Why the session failed, in words for an administrator: the system's reason ("Connection
  // refused"), "timed out waiting for the reply to DATA", or the server's refusing reply ("554
  // 5.7.1 rejected"). Empty when nothing failed or no reason is known.
  const std::string& Failure() const { return failure_; }
  const std::string& ReplyCode() const { return replyCode_; }
  const std::string& ReplyText() const { return replyText_; }
  bool Authenticated() const { return authenticated_; }
  bool AuthLoginOffered() const { return authLoginOffered_; }
  bool AuthPlainOffered() const { return authPlainOffered_; }
  // The server's EHLO reply offered 8BITMIME (never after HELO, which learns nothing).
  bool EightBitMimeOffered() const { return eightBitMimeOffered_; }
  uint16_t Percent() const { return percent_; }

  bool Connect();
  bool Login();
  bool SendMessage(TVumMsg& message);
  void Disconnect();

  bool IsConnected() const;
  void SendText(const std::string& text);
  void ReadReply();
  void FailSession(void* sender);
  // One mail transaction: 1 on success or for an empty list, negative for the refused step.
  int SendEnvelope(const std::string& sender, const std::string& bounceRecipient, bool bounce,
                   const std::vector<std::string>& lines, const std::vector<std::string>& recipients);

  TClientSocket& Socket() { return *socket_; }

  // Replies longer than this are taken for a broken server rather than waited out.
  static constexpr size_t MaxReplySize = 64 * 1024;

 private:
  std::string ReceiveReply();
  std::string ReceiveWholeReply();
  bool Expect(const char* code);
  // HELO or EHLO and the capability reply, kept whole.
  void Greet(bool ehlo);
  // TLS under the connection now; a failure is reported (OnError) and raised.
  void StartSecure();
  // Ends Connect for a reason of the secure transport: QUIT, close, OnError with the reason.
  bool RefuseInsecure(const std::string& reason);

  std::unique_ptr<TClientSocket> socket_;
  std::string localHost_;
  std::string localAddr_;
  bool failed_ = false;
  std::string replyCode_;
  std::string replyText_;
  bool authenticated_ = false;
  bool authLoginOffered_ = false;
  bool authPlainOffered_ = false;
  bool eightBitMimeOffered_ = false;
  std::string bodyParameter_;  // added to MAIL FROM for the message being sent
  uint16_t percent_ = 0;
  std::string tlsError_;
  std::string failure_;
  std::string awaiting_;  // what the next reply answers, for a failure's words
  // The first reason found is the one kept: what follows it is its consequence.
  void NoteFailure(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
  }
};

// Length of the first complete reply at the start of text (its last line is not a "ddd-" line and
// has its line end), 0 while it is still incomplete.
size_t CompleteReplyLength(const std::string& text);

// What the session keeps of a reply: the code (the first four characters of its last line,
// trimmed, so "250" or "250-") and the text of its first line after the code.
struct TReplyParts {
  std::string Code;
  std::string Text;
};
TReplyParts SplitReply(const std::string& reply);

bool IsDottedAddress(const std::string& text);
std::string ExtractAddress(const std::string& text);
std::vector<std::string> ParseAddressList(const std::string& text);
std::string RemoveChar(const std::string& text, char c);
std::string RemoveQuoted(const std::string& text, char q);

}  // namespace tavik
