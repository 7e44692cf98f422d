// Inputs the fuzz targets found mishandled, kept so they stay handled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "notify/uNotifierSend.h"

namespace tavik {
namespace {

using ::testing::IsEmpty;

std::vector<std::string> Addresses(const std::string& list) {
  std::vector<std::string> r;
  for (const TRecipient& x : Recipients(list)) r.push_back(x.address);
  return r;
}

// Brackets around nothing but blanks named an empty recipient, which the server refuses and
// with it the mail to everyone else on the list.
TEST(RecipientFindings, EmptyBracketsNameNobody) {
  EXPECT_THAT(Addresses("\"< >\""), IsEmpty());
  EXPECT_THAT(Addresses("ann@x.org, \"<  >\", bob@y.net"), testing::ElementsAre("ann@x.org", "bob@y.net"));
  // Brackets inside a quoted name are part of the name.
  EXPECT_THAT(Addresses("Ann \"< >\" <ann@x.org>"), testing::ElementsAre("ann@x.org"));
}

}  // namespace
}  // namespace tavik
