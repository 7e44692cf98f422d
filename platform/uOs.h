#pragma once
// What each system's side of the platform (posix/, win/) gives the units shared by both.
// Nothing above platform/ includes this.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tavik::os {

// The local calendar time of t, and the zone's offset east of UTC at that moment.
void LocalTimeOf(std::time_t t, std::tm& parts, long& gmtOffsetSeconds);

// The user's short date and time formats, as a strftime-like pattern whose first separator is
// taken (SeparatorOf); null when the system tells none.
const char* DateFormat();
const char* TimeFormat();

// Whether a failed open's code says the file (or its folder) does not exist.
bool MissingFileError(int code);
// The system's codes for TFileError's kinds, in its order.
extern const int FileErrorCodes[5];

// A peer's socket address, whatever its family.
struct TSockAddr {
  alignas(8) unsigned char bytes[128] = {};
  unsigned length = 0;
  int family = 0;
};

// Starts the system's sockets for one socket object and stops them again (Windows counts them).
void SocketsStart();
void SocketsStop();
// The system's codes for a wait that ran out and for a bad argument.
int TimedOutCode();
int InvalidCode();
// The code of a write to a connection the peer has closed.
int ClosedCode();

// A dotted IPv4 address and port; false when the text is no such address.
bool ParseIPv4(const std::string& address, int port, TSockAddr& out);
// The addresses of a name (IPv6 and IPv4, in the resolver's order). On failure the code and the
// system's words for it.
int Resolve(const std::string& name, int port, std::vector<TSockAddr>& out, std::string& errorText);

// A new stream socket of the family, -1 on failure.
int OpenStreamSocket(int family);
void CloseSocket(int s);
// Connects before the monotonic deadline (ms, 0: without limit), then makes the socket blocking
// again with sends and receives bounded by timeoutMs (0: without limit). The error code or 0.
int ConnectWithin(int s, const TSockAddr& peer, int64_t deadline, int timeoutMs);
// One send or receive: bytes moved, or -1 with the code in error (a send or receive time-out
// as TimedOutCode); a send to a closed peer never raises a signal.
long SendSome(int s, const char* data, size_t count, int& error);
long ReceiveSome(int s, char* buffer, size_t count, int& error);
// Waits up to waitMs (0: without limit) for something to read: > 0 when it came, 0 when the time
// ran out, -1 with the code in error.
int WaitReadable(int s, int waitMs, int& error);
// Whether the last failure of a call was an interruption to retry.
bool Interrupted(int error);
// Pushes out what the socket still holds back for a fuller packet.
void PushOut(int s);
std::string LocalAddressOf(int s);
std::string PeerAddressOf(int s);
std::string LocalHostName();

}  // namespace tavik::os
