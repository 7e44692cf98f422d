#pragma once
// The test message, as the settings dialog's Test button and the shell's --test-mail send it.
#include <string>

namespace tavik {

class TNotifier;

inline constexpr const char* TestMailSubject = "[TAVIK] Test Message";
inline constexpr const char* TestMailBody = "Test message from Kopra Agent";

// Sends the test message through the notifier's account to the recipients in to. True when the
// server took it; otherwise false with the reason in reason: the notifier's own (LastError) when
// it has one, else the error that ended the send. Shows nothing.
bool SendTestMessage(TNotifier& notifier, const std::string& to, std::string& reason);

}  // namespace tavik
