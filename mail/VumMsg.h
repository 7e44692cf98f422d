#pragma once
// One outgoing mail message with its parsed address lists.
#include <memory>
#include <string>
#include <vector>

#include "mail/VumAttFile.h"

namespace tavik {

enum TPriority { prHighest, prHigh, prNormal, prLow, prLowest };
enum TTextEncoding { te8Bit, teBase64, teQP };

struct TMailAddress {
  std::string Name;
  std::string Address;
};

class TAddressList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TMailAddress& Items(int index) { return *items_.at(static_cast<size_t>(index)); }
  const TMailAddress& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  void Add(std::unique_ptr<TMailAddress> entry);
  // Stores both texts unchanged; returns the new entry's index.
  int AddAddress(const std::string& address, const std::string& name);
  void Clear() { items_.clear(); }

  // Replaces the entries by those of an address text ("Ann <a@x>, b@y"); unparsable entries are dropped.
  void SetText(const std::string& text);
  // "\"Name\" <address>" entries joined by ","; with replyStyle an entry without a name
  // takes the local part of its address as its name.
  std::string Render(bool replyStyle = false) const;
  // The trimmed names (or addresses) that are not empty, joined by ",".
  std::string Names() const;
  std::string Addresses() const;

 private:
  std::vector<std::unique_ptr<TMailAddress>> items_;
};

// One entry of an address text; throws EQorvError("Unable to parse email address").
TMailAddress ParseMailAddress(const std::string& entry);

class TVumMsg {
 public:
  TVumMsg();
  ~TVumMsg();
  TVumMsg(const TVumMsg&) = delete;
  TVumMsg& operator=(const TVumMsg&) = delete;

  std::string UserName;
  std::string DeliveredTo;
  std::string DeliveredToAddress;
  std::string DeliveredToName;

  TAddressList& ReplyToList() { return replyToList_; }
  TAddressList& FromList() { return fromList_; }
  TAddressList& SendToList() { return sendToList_; }
  TAddressList& CCList() { return ccList_; }
  TAddressList& BCCList() { return bccList_; }
  const TAddressList& ReplyToList() const { return replyToList_; }
  const TAddressList& FromList() const { return fromList_; }
  const TAddressList& SendToList() const { return sendToList_; }
  const TAddressList& CCList() const { return ccList_; }
  const TAddressList& BCCList() const { return bccList_; }

  std::string From() const { return fromList_.Render(); }
  void SetFrom(const std::string& text) { fromList_.SetText(text); }
  std::string FromName() const { return fromList_.Names(); }
  std::string FromAddress() const { return fromList_.Addresses(); }
  std::string ReplyTo() const;
  void SetReplyTo(const std::string& text) { replyToList_.SetText(text); }
  std::string ReplyToAddress() const;
  std::string ReplyToName() const;
  std::string SendTo() const { return sendToList_.Render(); }
  void SetSendTo(const std::string& text) { sendToList_.SetText(text); }
  std::string SendToName() const { return sendToList_.Names(); }
  std::string SendToAddress() const { return sendToList_.Addresses(); }
  std::string CC() const { return ccList_.Render(); }
  void SetCC(const std::string& text) { ccList_.SetText(text); }
  std::string CCName() const { return ccList_.Names(); }
  std::string CCAddress() const { return ccList_.Addresses(); }
  std::string BCC() const { return bccList_.Render(); }
  void SetBCC(const std::string& text) { bccList_.SetText(text); }
  std::string BCCName() const { return bccList_.Names(); }
  std::string BCCAddress() const { return bccList_.Addresses(); }

  std::string Subject;
  std::vector<std::string>& Text() { return text_; }
  const std::vector<std::string>& Text() const { return text_; }
  void SetText(const std::vector<std::string>& lines) { text_ = lines; }
  std::string TextCharset;
  std::vector<std::string>& HTML() { return html_; }
  const std::vector<std::string>& HTML() const { return html_; }
  void SetHTML(const std::vector<std::string>& lines) { html_ = lines; }
  std::string HTMLCharset;
  bool HTMLAsAttachment = false;
  bool BounceMsg = false;
  std::vector<std::string>& ExtraHeaders() { return extraHeaders_; }
  const std::vector<std::string>& ExtraHeaders() const { return extraHeaders_; }
  void SetExtraHeaders(const std::vector<std::string>& lines) { extraHeaders_ = lines; }
  TPriority Priority = prNormal;
  std::string CharSet = "iso-8859-1";
  bool ClearRawMailAfterParse = true;
  TTextEncoding TextEncoding = te8Bit;
  std::string XMailer;
  std::string LocalHost() const { return localHost_; }
  void SetLocalHost(const std::string& host);
  std::string LocalAddr;

  std::string ReturnPath;
  std::string Date;
  std::string InReplyTo;
  std::string BounceRecipient;
  std::string BounceEnvelopeId;
  TAttachedFiles& Attachments() { return attachments_; }
  const TAttachedFiles& Attachments() const { return attachments_; }
  const std::vector<std::string>& RawMail() const { return rawMail_; }

  // Builds RawMail, the message as it goes over the wire after DATA (VumMIME.cpp).
  void Compose();

 private:
  TAddressList replyToList_, fromList_, sendToList_, ccList_, bccList_;
  std::vector<std::string> text_, html_, extraHeaders_;
  std::string localHost_ = "a.b.c";
  TAttachedFiles attachments_;
  std::vector<std::string> rawMail_;
};

}  // namespace tavik
