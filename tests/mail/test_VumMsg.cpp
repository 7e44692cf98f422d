#include "mail/VumMsg.h"

#include <gtest/gtest.h>

#include "platform/uErrors.h"

namespace tavik {
namespace {

using TEntries = std::vector<std::pair<std::string, std::string>>;  // name, address

TEntries Entries(const TAddressList& list) {
  TEntries r;
  for (int i = 0; i < list.Count(); ++i) r.emplace_back(list.Items(i).Name, list.Items(i).Address);
  return r;
}

TEST(AddressText, SplitsAndParsesEveryForm) {
  struct Case {
    std::string text;
    TEntries entries;
  } cases[] = {
      {"John Smith <j@x>", {{"John Smith", "j@x"}}},
      {"\"John Smith\" <j@x>", {{"John Smith", "j@x"}}},
      {"<j@x>", {{"", "j@x"}}},
      {"j@x", {{"", "j@x"}}},
      {"j@x (John)", {{"(John)", "j@x"}}},
      {"John Smith j@x", {{"John Smith", "j@x"}}},
      {"Ann <a@x>, Bob <b@y>", {{"Ann", "a@x"}, {"Bob", "b@y"}}},
      {"a@x,b@y", {{"", "a@x"}, {"", "b@y"}}},
      {"a@x b@y", {{"a@x", "b@y"}}},
      {"postmaster", {{"", "postmaster"}}},
      {"John <j@x", {}},
      {"", {}},
      {"<>", {}},
      {"Smith, John <j@x>", {{"Smith, John", "j@x"}}},
      {"Ann <a@x>, John <j@x, Bob <b@y>", {{"Ann", "a@x"}, {"Bob", "b@y"}}},
      {"j@x (John", {{"", "j@x"}}},
      {"  \"Quoted  Name\"  <  q@x  >  ", {{"Quoted  Name", "q@x"}}},
  };
  for (const auto& c : cases) {
    TAddressList list;
    list.SetText(c.text);
    EXPECT_EQ(Entries(list), c.entries) << c.text;
  }
}

TEST(AddressText, ParseFailureNamesTheProblem) {
  for (const char* bad : {"John <j@x", "a > b <c@x"}) {
    try {
      ParseMailAddress(bad);
      FAIL() << bad;
    } catch (const EQorvError& e) {
      EXPECT_EQ(e.Message(), "Unable to parse email address");
    }
  }
}

TEST(VumMsg, WritingAnAddressTextReplacesTheList) {
  TVumMsg m;
  m.SetSendTo("a@x, b@y");
  EXPECT_EQ(m.SendToList().Count(), 2);
  m.SetSendTo("c@z");
  EXPECT_EQ(Entries(m.SendToList()), (TEntries{{"", "c@z"}}));
  m.SetSendTo("");
  EXPECT_EQ(m.SendToList().Count(), 0);
}

TEST(VumMsg, RenderingAndTheReplyToFallbacks) {
  TVumMsg m;
  m.SetFrom("j@x");
  EXPECT_EQ(m.From(), "<j@x>");
  // No reply list: every reply property reads the sender's.
  EXPECT_EQ(m.ReplyTo(), m.From());
  EXPECT_EQ(m.ReplyToName(), m.FromName());
  EXPECT_EQ(m.ReplyToAddress(), m.FromAddress());
  EXPECT_EQ(m.ReplyToAddress(), "j@x");

  m.SetReplyTo("j@x, Ann Lee <a@y>, postmaster");
  EXPECT_EQ(m.ReplyTo(), "\"j\" <j@x>,\"Ann Lee\" <a@y>,<postmaster>");
  EXPECT_EQ(m.ReplyToName(), "Ann Lee");
  EXPECT_EQ(m.ReplyToAddress(), "j@x,a@y,postmaster");

  m.SetCC("Ann <a@x>, b@y, Carl <c@z>");
  EXPECT_EQ(m.CC(), "\"Ann\" <a@x>,<b@y>,\"Carl\" <c@z>");
  EXPECT_EQ(m.CCName(), "Ann,Carl");
  EXPECT_EQ(m.CCAddress(), "a@x,b@y,c@z");
  EXPECT_EQ(m.BCCName(), "");
  EXPECT_EQ(m.BCC(), "");

  // A name-only reply list gives no names of its own, so the sender's are read.
  TVumMsg n;
  n.SetFrom("Boss <boss@x>");
  n.ReplyToList().AddAddress("r@y", "");
  EXPECT_EQ(n.ReplyToName(), "Boss");
  EXPECT_EQ(n.ReplyToAddress(), "r@y");
}

TEST(AddressList, AddAddressStoresTextsUnchanged) {
  TVumMsg m;
  EXPECT_EQ(m.SendToList().AddAddress("ops@x", "ops@x"), 0);
  EXPECT_EQ(m.SendToList().AddAddress(" b@y ", " <Bob> "), 1);
  EXPECT_EQ(m.SendToList().Items(1).Address, " b@y ");
  EXPECT_EQ(m.SendToList().Items(1).Name, " <Bob> ");
  EXPECT_EQ(m.SendTo(), "\"ops@x\" <ops@x>,\"<Bob>\" <b@y>");
  m.SendToList().Add(std::make_unique<TMailAddress>(TMailAddress{"C", "c@z"}));
  EXPECT_EQ(m.SendToList().Count(), 3);
  m.SendToList().Clear();
  EXPECT_EQ(m.SendToList().Count(), 0);
}

TEST(VumMsg, Defaults) {
  TVumMsg m;
  EXPECT_EQ(m.Priority, prNormal);
  EXPECT_EQ(m.CharSet, "iso-8859-1");
  EXPECT_EQ(m.LocalHost(), "a.b.c");
  EXPECT_TRUE(m.ClearRawMailAfterParse);
  EXPECT_EQ(m.TextEncoding, te8Bit);
  EXPECT_FALSE(m.BounceMsg);
  EXPECT_FALSE(m.HTMLAsAttachment);
  EXPECT_TRUE(m.Text().empty() && m.HTML().empty() && m.ExtraHeaders().empty() && m.RawMail().empty());
  EXPECT_EQ(m.Attachments().Count(), 0);
  EXPECT_EQ(m.From() + m.SendTo() + m.Subject + m.Date + m.XMailer + m.LocalAddr, "");

  m.SetLocalHost("mail.example");
  EXPECT_EQ(m.LocalHost(), "mail.example");
  m.SetLocalHost("   ");
  EXPECT_EQ(m.LocalHost(), "a.b.c");

  std::vector<std::string> lines = {"one", "two"};
  m.SetText(lines);
  lines.push_back("three");
  EXPECT_EQ(m.Text().size(), 2u);  // writing copies
  m.HTML().push_back("<p>");       // reading gives the message's own list
  EXPECT_EQ(m.HTML().size(), 1u);
}

}  // namespace
}  // namespace tavik
