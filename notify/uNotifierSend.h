#pragma once
// What the notifier's sends share with their callers: the recipient split and the wait allowed.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavik {

// Milliseconds the SMTP client of every notifier send allows for the connect and for each
// reply; 30000 unless changed. Process-wide, so a test can shorten the wait on a silent server
// without the settings file growing a key nobody asked for.
int32_t NotifierSmtpTimeout();
void SetNotifierSmtpTimeout(int32_t ms);

// Hears every line of every notifier send's SMTP dialogue as it crosses the connection, the
// program's (fromClient) and the server's, for a person watching a test mail. Process-wide, like
// the time-out; an empty function stops it.
using TSmtpListener = std::function<void(bool fromClient, const std::string& text)>;
void SetNotifierSmtpListener(TSmtpListener listener);

// The entries a recipient list holds, each trimmed, in order: commas and semicolons end an entry
// (as mail programs write lists), a double quoted part stays whole, and entries left empty by
// stray separators are left out.
std::vector<std::string> RecipientEntries(const std::string& list);

// A mailbox the server can be offered: plain printable ASCII without blanks, brackets or quotes,
// with an "@" that has text on both sides.
bool IsMailAddress(const std::string& text);

struct TRecipient {
  std::string address;
  std::string name;
};
// The recipients as they go to the message. An entry holding <...> is that address, named by the
// words before it (quoted or not); any other entry is split at blanks, and each word serves as
// both address and name. A word or bracketed text that is no mail address is never offered to
// the server (its refusal would cost everyone else the mail): it goes to rejected, when given.
std::vector<TRecipient> Recipients(const std::string& list, std::vector<std::string>* rejected = nullptr);

// Text for an HTML body: the characters that would be read as markup written as entities.
std::string HtmlText(const std::string& text);  // control bytes escaped as the log escapes them

// What an HTML body says, for a text-only reader: a line per "<br />", paragraph or table row,
// the cells of a row separated by " | ", other tags left out and entities decoded (UTF-8).
std::string HtmlToPlainText(const std::string& html);

}  // namespace tavik
