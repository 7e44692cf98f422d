#include "platform/uUiServices.h"

#include <iostream>

#include "platform/uSystem.h"

namespace tavik {

namespace {
THeadlessUi gHeadless;
TUiServices* gUi = nullptr;
}  // namespace

void THeadlessUi::ShowInfo(const std::string& text) {
  std::cerr << "Information: " << text << std::endl;
}
void THeadlessUi::ShowWarning(const std::string& text) {
  std::cerr << "Warning: " << text << std::endl;
}
void THeadlessUi::ShowError(const std::string& text) {
  ErrorToStderr("Error: " + text);
}

TMsgAnswer THeadlessUi::AskAbortRetryIgnore(const std::string& text) {
  // An error like any other: the journal gives it an error's priority.
  ErrorToStderr("Error: " + text + " (no one to answer: Abort)");
  return TMsgAnswer::Abort;
}

bool THeadlessUi::InputQuery(const std::string&, const std::string&, std::string&) {
  return false;
}

TUiServices& Ui() {
  return gUi ? *gUi : static_cast<TUiServices&>(gHeadless);
}

TUiServices* SetUi(TUiServices* ui) {
  TUiServices* prev = gUi;
  gUi = ui;
  return prev;
}

}  // namespace tavik
