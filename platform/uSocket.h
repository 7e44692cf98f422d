#pragma once
// A blocking TCP client connection over IPv4 or IPv6, optionally encrypted: what the mail client
// needs of the network and nothing more.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/uTls.h"

namespace tavik {

class TClientSocket;

using TSocketNotify = std::function<void(TClientSocket& sender)>;
// Gets the failing call's error code first; setting it to 0 suppresses the exception that follows.
using TSocketErrorNotify = std::function<void(TClientSocket& sender, int& errorCode)>;

class TClientSocket {
 public:
  TClientSocket();
  ~TClientSocket();  // closes an open connection
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Stored for the next Open; changing one while connected raises ESocketError.
  // A name to resolve (to IPv6 and IPv4 addresses, tried in turn) or an IPv6 literal, with or
  // without its brackets.
  void SetHost(const std::string& host);
  void SetAddress(const std::string& address);  // a dotted IPv4 address, used without lookup
  void SetPort(int port);
  std::string Host() const;
  std::string Address() const;
  int Port() const;

  // Bounds the connect and every receive (and a send that cannot get rid of its bytes);
  // 0 or less waits without limit.
  void SetTimeoutMs(int ms);
  int TimeoutMs() const;

  void Open();
  void Close();
  bool Connected() const;

  // Puts TLS under the open connection: every byte from here on is encrypted. A failed handshake
  // or certificate check closes the connection and raises ESocketError with the reason (the error
  // event is left to the caller). The time-out bounds the handshake as a whole; afterwards a read
  // is bounded as a whole by its wait, a write by the time-out without progress.
  void StartTls(const TTlsOptions& options);
  bool Encrypted() const;

  // Queues text to be written: the bytes go out once enough has gathered, at Flush, or before a
  // receive (whoever waits for an answer has said everything). Nothing when not connected.
  // Returns the bytes taken, 0 when a write failed (reported as every failed call is).
  int SendText(const std::string& text);
  // Writes everything queued; a failure is reported as every failed call is. A write is bounded
  // by the time-out without progress, so a slow link still gets the whole of a large mail.
  void Flush();
  // What has arrived, at most count bytes, waiting up to waitMs (the socket's time-out when negative)
  // while nothing has. 0 when the peer has closed or the socket is not connected.
  int ReceiveBuf(char* buf, int count, int waitMs = -1);

  // Reports err on api as every failed call does: error event, close, ESocketError (unless the
  // event cleared the code). Lets a caller treat its own broken expectations as socket failures.
  void RaiseError(int err, const char* api);
  // The system's words for the last error raised ("Connection refused"), and its code; both
  // empty/0 until one was.
  const std::string& LastErrorText() const { return lastErrorText_; }
  int LastErrorCode() const { return lastErrorCode_; }

  std::string LocalHost() const;      // gethostname; empty without a socket
  std::string LocalAddress() const;   // the connection's own address; empty without a socket
  std::string RemoteAddress() const;  // the peer's address; only while connected

  TSocketNotify OnLookup;
  TSocketNotify OnConnecting;
  TSocketNotify OnConnect;
  TSocketNotify OnDisconnect;
  TSocketErrorNotify OnError;

 private:
  void CheckInactive() const;
  void ReportError(int err, const std::string& text, const char* api);
  void ReleaseHandle();

  mutable std::recursive_mutex lock_;
  int fd_ = -1;
  std::unique_ptr<TTlsSession> tls_;
  // Writes wait here until a reply is awaited (or enough has gathered): a system call (and over
  // TLS a record) per message line would cost more than the line, and the wire shows no line
  // boundaries anyway.
  static constexpr size_t kGatherBytes = 16 * 1024;
  std::string pending_;
  bool connected_ = false;
  bool closing_ = false;
  std::string host_;
  std::string address_;
  int port_ = 0;
  int timeoutMs_ = 0;
  std::string lastErrorText_;
  int lastErrorCode_ = 0;
};

// The error text of a failed socket call.
std::string SocketErrorText(const std::string& message, int code, const char* api);

}  // namespace tavik
