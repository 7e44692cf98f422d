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

}  // namespace tavik
