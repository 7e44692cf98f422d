#pragma once
// What the notifier's sends share with their callers: the recipient split and the wait allowed.
#include <cstdint>
#include <string>
#include <vector>

namespace tavik {

// Milliseconds the SMTP client of every notifier send allows for the connect and for each
// reply; 30000 unless changed. Process-wide, so a test can shorten the wait on a silent server
// without the settings file growing a key nobody asked for.
int32_t NotifierSmtpTimeout();
void SetNotifierSmtpTimeout(int32_t ms);

// The recipients a list names, each trimmed, in order. Commas and blanks separate, a double
// quoted part stays whole; entries left empty by stray commas are no recipients and are left out.
std::vector<std::string> RecipientEntries(const std::string& list);

struct TRecipient {
  std::string address;
  std::string name;
};
// The recipients as they go to the message. An entry written in angle brackets is the address
// inside them, and a name-only entry right before it ("Ann Smith" <ann@x.org>) is its display
// name rather than a recipient of its own: offered to the server, either would be refused and
// take the whole mail down with it. Every other entry serves as both address and name.
std::vector<TRecipient> Recipients(const std::string& list);

}  // namespace tavik
