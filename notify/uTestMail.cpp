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
    // What failed (the connect, the logon) with why, worded as the run's error line words it.
    reason = n.LastError.empty() ? e.what() : n.LastError + ": " + e.what();
  }
  return false;
}

}  // namespace tavik
