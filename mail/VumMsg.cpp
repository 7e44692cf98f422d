#include "mail/VumMsg.h"

#include "QorvLib/uQorvFiles.h"
#include "platform/uErrors.h"

namespace tavik {

namespace {
// Trims blanks and controls, then drops the quotes around a name (blanks inside them stay).
std::string Strip(const std::string& s) {
  std::string t = Trim(s);
  size_t b = 0, e = t.size();
  while (b < e && t[b] == '"') ++b;
  while (e > b && t[e - 1] == '"') --e;
  return t.substr(b, e - b);
}

std::string LocalPart(const std::string& address) {
  size_t at = address.find('@');
  return at == std::string::npos ? std::string() : address.substr(0, at);
}
}  // namespace

TMailAddress ParseMailAddress(const std::string& entry) {
  const std::string s = Trim(entry);
  TMailAddress r;
  const size_t open = s.find('(');
  const size_t at = s.find('@');
  if (open != std::string::npos && (at == std::string::npos || at < open)) {
    r.Address = Strip(s.substr(0, open));
    size_t close = s.find(')');
    if (close != std::string::npos && close > open) r.Name = s.substr(open, close - open + 1);
    return r;
  }
  const size_t lt = s.find('<');
  if (lt != std::string::npos) {
    size_t gt = s.find('>');
    if (gt == std::string::npos || gt < lt) throw EQorvError("Unable to parse email address");
    r.Address = Strip(s.substr(lt + 1, gt - lt - 1));
    if (lt > 0) r.Name = Strip(s.substr(0, lt) + s.substr(gt + 1));
    return r;
  }
  const size_t space = s.rfind(' ');
  if (space != std::string::npos) {
    r.Address = Strip(s.substr(space + 1));
    r.Name = Strip(s.substr(0, space + 1));
    return r;
  }
  r.Address = s;
  return r;
}

void TAddressList::Add(std::unique_ptr<TMailAddress> entry) {
  items_.push_back(std::move(entry));
}

int TAddressList::AddAddress(const std::string& address, const std::string& name) {
  try {
    items_.push_back(std::make_unique<TMailAddress>(TMailAddress{name, address}));
  } catch (const std::exception&) {
    throw EQorvError("Unable to add mail address to list.");
  }
  return Count() - 1;
}

void TAddressList::SetText(const std::string& text) {
  Clear();
  std::string rest = text;
  bool last = false;
  while (!last) {
    std::string entry;
    size_t at = rest.find('@');
    if (at == std::string::npos) {
      entry = rest;
      last = true;
    } else {
      entry = rest.substr(0, at + 1);
      rest.erase(0, at + 1);
      if (rest.find(',') == std::string::npos) {
        entry += rest;
        last = true;
      } else {
        // A "," is known to follow, so the search always finds a separator.
        size_t sep = rest.find_first_of(", ");
        entry += rest.substr(0, sep);
        rest.erase(0, sep + 1);
      }
    }
    try {
      TMailAddress parsed = ParseMailAddress(entry);
      if (!parsed.Address.empty()) items_.push_back(std::make_unique<TMailAddress>(std::move(parsed)));
    } catch (const EQorvError&) {
      // An entry that cannot be parsed is left out; the others still count.
    }
  }
}

std::string TAddressList::Render(bool replyStyle) const {
  std::string r;
  for (const auto& e : items_) {
    if (!r.empty()) r += ",";
    std::string name = Trim(e->Name);
    std::string address = Trim(e->Address);
    if (replyStyle && name.empty()) name = LocalPart(address);
    if (!name.empty()) r += "\"" + name + "\" ";
    r += "<" + address + ">";
  }
  return r;
}

namespace {
template <typename Field>
std::string JoinTrimmed(const std::vector<std::unique_ptr<TMailAddress>>& items, Field field) {
  std::string r;
  for (const auto& e : items) {
    std::string v = Trim((*e).*field);
    if (v.empty()) continue;
    if (!r.empty()) r += ",";
    r += v;
  }
  return r;
}
}  // namespace

std::string TAddressList::Names() const {
  return JoinTrimmed(items_, &TMailAddress::Name);
}
std::string TAddressList::Addresses() const {
  return JoinTrimmed(items_, &TMailAddress::Address);
}

TVumMsg::TVumMsg() {
  VumRandomize();
}

TVumMsg::~TVumMsg() = default;

std::string TVumMsg::ReplyTo() const {
  return replyToList_.Count() == 0 ? From() : replyToList_.Render(true);
}

std::string TVumMsg::ReplyToAddress() const {
  std::string r = replyToList_.Addresses();
  return r.empty() ? FromAddress() : r;
}

std::string TVumMsg::ReplyToName() const {
  std::string r = replyToList_.Names();
  return r.empty() ? FromName() : r;
}

void TVumMsg::SetLocalHost(const std::string& host) {
  localHost_ = Trim(host).empty() ? "a.b.c" : host;
}

}  // namespace tavik
