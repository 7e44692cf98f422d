#include "notify/uTestMail.h"

#include <exception>

#include "notify/uNotifier.h"

namespace tavik {

bool SendTestMessage(TNotifier& n, const std::string& to, std::string& reason) {
  reason.clear();
  n.SendTo = to;
  n.Subject = TestMailSubject;
  n.Body = TestMailBody;
  try {
    if (n.SendTestMail(true)) return true;
    reason = n.LastError.empty() ? "the server did not take the mail" : n.LastError;
  } catch (const std::exception& e) {
    // The notifier's reason (the connect or the logon that failed) says more than the client's
    // complaint about the connection that failure left closed.
    reason = n.LastError.empty() ? e.what() : n.LastError;
  }
  return false;
}

}  // namespace tavik
