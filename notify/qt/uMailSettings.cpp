#include "notify/qt/uMailSettings.h"

#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QScreen>
#include <QVBoxLayout>
#include <cstdint>
#include <exception>
#include <limits>

#include "QorvLib/uQorvFiles.h"
#include "notify/uNotifierSend.h"
#include "notify/uTestMail.h"
#include "platform/uErrors.h"
#include "platform/uPeerCertificate.h"
#include "platform/uTls.h"
#include "platform/uUiServices.h"

namespace tavik {

namespace {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

std::string S(const QString& s) {
  const QByteArray b = s.toLocal8Bit();
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

const char* const DayNames[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                 "Friday", "Saturday", "Sunday"};
const char* const DayIdEdits[7] = {"EdIDMon", "EdIDTue", "EdIDWed", "EdIDThur",
                                   "EdIDFri", "EdIDSat", "EdIDSun"};
bool TNotifier::*const DayFlags[7] = {&TNotifier::IDDiskMon,  &TNotifier::IDDiskTue, &TNotifier::IDDiskWed,
                                      &TNotifier::IDDiskThur, &TNotifier::IDDiskFri, &TNotifier::IDDiskSat,
                                      &TNotifier::IDDiskSun};
std::string TNotifier::*const DayIds[7] = {
    &TNotifier::MondayID, &TNotifier::TuesdayID,  &TNotifier::WednesdayID, &TNotifier::ThursdayID,
    &TNotifier::FridayID, &TNotifier::SaturdayID, &TNotifier::SundayID};

const char* const ExplainSchedule =
    "Whenever the program is run on the days that have been selected it will check a file created on the "
    "disk "
    "has a matching ID to the unique Disk ID you set against that day. If you have 3 disks rotated you put "
    "the "
    "same ID in multiple days. If the ID tag is not found on the disk when it is run it will create the "
    "current "
    "days ID on it.";

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(name);
  return w;
}

QLabel* Heading(QWidget* parent, const char* name, const char* text) {
  auto* l = Named(new QLabel(text, parent), name);
  QFont f = l->font();
  f.setBold(true);
  l->setFont(f);
  return l;
}

QString UnknownSecurityText(int32_t value) {
  return value < 0 ? QString("Unknown (not a number): choose one")
                   : QString("Unknown (%1): choose one").arg(value);
}

}  // namespace

TFrmMailSettings::TFrmMailSettings(QWidget* parent) : QDialog(parent) {
  BuildWindow();
  FormCreate();
}

TFrmMailSettings::~TFrmMailSettings() = default;

void TFrmMailSettings::BuildWindow() {
  setObjectName("FrmMailSettings");
  setWindowTitle("Email Settings");
  QFont f("Tahoma");
  f.setPointSize(8);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0xA6, 0xCA, 0xF0));
  // The style's grey for disabled text all but vanishes on the blue; this one stays legible.
  pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x55, 0x66, 0x7A));
  setPalette(pal);
  setAutoFillBackground(true);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  AdvOfficePager1 = Named(new QTabWidget(this), "AdvOfficePager1");
  outer->addWidget(AdvOfficePager1);
  BuildMailSettingsPage();
  BuildButtons(outer);
  BuildNotificationsPage();

  // The pages cover the whole dialog; without their own fill the style's pane would hide its colour.
  MailSettingsPage->setAutoFillBackground(true);
  NotificationsPage->setAutoFillBackground(true);
  AdvOfficePager1->addTab(MailSettingsPage, "Mail Settings");
  AdvOfficePager1->addTab(NotificationsPage, "Notifications");
  AdvOfficePager1->setCurrentIndex(0);
  OrderTabs();
  ConnectControls();

  // The requested face is missing on most systems and its stand-in runs wider: the dialog keeps
  // its designed size but grows to whatever the layout needs so nothing is clipped.
  outer->activate();
  const QSize need = outer->totalSizeHint();
  setFixedSize(std::max(459, need.width()), std::max(446, need.height()));
  if (QScreen* s = QApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

// Mail settings page: site, then the account.
void TFrmMailSettings::BuildMailSettingsPage() {
  MailSettingsPage = Named(new QWidget, "MailSettingsPage");
  auto* mail = new QGridLayout(MailSettingsPage);
  mail->setContentsMargins(12, 10, 12, 10);
  mail->setVerticalSpacing(6);
  mail->setColumnStretch(1, 1);
  int row = 0;
  auto field = [&](QLabel*& label, const char* labelName, const char* text, QLineEdit*& edit,
                   const char* editName) {
    label = Named(new QLabel(text, MailSettingsPage), labelName);
    edit = Named(new QLineEdit(MailSettingsPage), editName);
    label->setBuddy(edit);
    mail->addWidget(label, row, 0);
    mail->addWidget(edit, row, 1);
    ++row;
  };
  Label1 = Heading(MailSettingsPage, "Label1", "Site Settings");
  mail->addWidget(Label1, row++, 0, 1, 2);
  field(Label2, "Label2", "Site Name:", EdDescription, "EdDescription");
  field(Label3, "Label3", "Site ID:", EdSiteID, "EdSiteID");
  mail->setRowMinimumHeight(row++, 8);
  Label38 = Heading(MailSettingsPage, "Label38", "Email Settings");
  mail->addWidget(Label38, row++, 0, 1, 2);
  field(Label39, "Label39", "SMTP Host (Mail server IP address):", EbSMTPHost, "EbSMTPHost");
  field(Label40, "Label40", "SMTP Port (normally 25):", EbPort, "EbPort");
  lblSecurity = Named(new QLabel("Connection security:", MailSettingsPage), "lblSecurity");
  CbSecurity = Named(new QComboBox(MailSettingsPage), "CbSecurity");
  CbSecurity->addItems({"None", "STARTTLS", "SSL/TLS"});
  lblSecurity->setBuddy(CbSecurity);
  mail->addWidget(lblSecurity, row, 0);
  mail->addWidget(CbSecurity, row++, 1);
  field(lblCAFile, "lblCAFile", "Trusted certificates (PEM file):", EdCAFile, "EdCAFile");
  btnCAFile = Named(new QPushButton("...", MailSettingsPage), "btnCAFile");
  btnCAFile->setToolTip("Choose the file");
  btnCAFile->setFixedWidth(32);
  mail->addWidget(btnCAFile, row - 1, 2);
  field(lblFingerprint, "lblFingerprint", "Certificate fingerprint (SHA-256):", EdFingerprint,
        "EdFingerprint");
  EdFingerprint->setToolTip("Exactly this certificate is accepted, whatever its issuer and name");
  btnFingerprint = Named(new QPushButton("Fetch", MailSettingsPage), "btnFingerprint");
  btnFingerprint->setToolTip("Connect to the server and show its certificate");
  mail->addWidget(btnFingerprint, row - 1, 2);
  field(Label41, "Label41", "Default Reply Email Address:", EBReply, "EBReply");
  ChkBox = Named(new QCheckBox("My server requires me to logon to send mail", MailSettingsPage), "ChkBox");
  mail->addWidget(ChkBox, row++, 0, 1, 2);
  field(lblUser, "lblUser", "User:", Euser, "Euser");
  field(lblPass, "lblPass", "Password:", EPass, "EPass");
  EPass->setEchoMode(QLineEdit::Password);
  EPass->setStyleSheet("lineedit-password-character: 42");
  mail->setRowMinimumHeight(row++, 8);
  ChkCreatDest = Named(new QCheckBox("Try and create destination folder", MailSettingsPage), "ChkCreatDest");
  ChkCreatDest->setToolTip("This allows you to put different volumnes in different folders");
  mail->addWidget(ChkCreatDest, row++, 0, 1, 2);
  mail->setRowStretch(row++, 1);
}

void TFrmMailSettings::BuildButtons(QVBoxLayout* outer) {
  // The buttons stand below both pages: OK and Cancel act on the whole dialog, not on one page.
  Button1 = Named(new QPushButton("&Test", this), "Button1");
  btnOK = Named(new QPushButton("&OK", this), "btnOK");
  btnCancel = Named(new QPushButton("&Cancel", this), "btnCancel");
  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(12, 6, 12, 10);
  buttons->addWidget(Button1);
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  outer->addLayout(buttons);
  // Enter in an edit confirms rather than sending a test mail, which Qt would otherwise pick as the
  // first button of the dialog.
  btnOK->setDefault(true);
}

// Notifications page: the switch, the weekday schedule with its explanation, the recipients.
void TFrmMailSettings::BuildNotificationsPage() {
  NotificationsPage = Named(new QWidget, "NotificationsPage");
  auto* notes = new QVBoxLayout(NotificationsPage);
  notes->setContentsMargins(12, 10, 12, 10);
  notes->setSpacing(4);
  ChkID =
      Named(new QCheckBox("ID label disks and check to see if disk is changed", NotificationsPage), "ChkID");
  notes->addWidget(ChkID);
  auto* schedule = new QGridLayout;
  schedule->setHorizontalSpacing(10);
  schedule->setVerticalSpacing(3);
  for (int d = 0; d < 7; ++d) {
    ChkDay[d] =
        Named(new QCheckBox(DayNames[d], NotificationsPage), (std::string("Chk") + DayNames[d]).c_str());
    EdID[d] = Named(new QLineEdit(NotificationsPage), DayIdEdits[d]);
    EdID[d]->setFixedWidth(110);
    schedule->addWidget(ChkDay[d], d, 0);
    schedule->addWidget(EdID[d], d, 1);
  }
  Label7 = Named(new QLabel(ExplainSchedule, NotificationsPage), "Label7");
  Label7->setWordWrap(true);
  Label7->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label7->setMinimumWidth(200);
  schedule->addWidget(Label7, 0, 2, 7, 1);
  schedule->setColumnStretch(2, 1);
  notes->addLayout(schedule);
  auto recipients = [&](QLabel*& label, const char* labelName, const char* text, QLineEdit*& edit,
                        const char* editName) {
    label = Named(new QLabel(text, NotificationsPage), labelName);
    edit = Named(new QLineEdit(NotificationsPage), editName);
    label->setBuddy(edit);
    notes->addSpacing(4);
    notes->addWidget(label);
    notes->addWidget(edit);
  };
  recipients(Label4, "Label4", "Send errors to: (use commas to separate emails):", EdAlerts, "EdAlerts");
  recipients(Label5, "Label5", "Send log always to: (use commas to separate emails):", EdLogEmails,
             "EdLogEmails");
  recipients(Label6, "Label6", "Send disk change alerts to: (use commas to separate emails):", EdDiskChange,
             "EdDiskChange");
  recipients(Label8, "Label8", "Backup complete message", EdBackupComplete, "EdBackupComplete");
  recipients(lblMetricsFile, "lblMetricsFile",
             "Metrics file (rewritten at each run's end; empty for none):", EdMetricsFile, "EdMetricsFile");
  recipients(lblPingURL, "lblPingURL",
             "Ping URL (http:// or https://, pinged at each run's start and end):", EdPingURL, "EdPingURL");
  notes->addStretch(1);
}

// The tab order of each page, which the visual order alone would not give.
void TFrmMailSettings::OrderTabs() {
  QWidget* order[] = {
      AdvOfficePager1, ChkBox,         EbSMTPHost, EbPort,      CbSecurity,   EdCAFile,         btnCAFile,
      EdFingerprint,   btnFingerprint, EBReply,    Euser,       EPass,        EdDescription,    EdSiteID,
      ChkCreatDest,    ChkID,          EdAlerts,   EdLogEmails, EdDiskChange, ChkDay[0],        ChkDay[1],
      ChkDay[2],       ChkDay[3],      ChkDay[4],  ChkDay[5],   ChkDay[6],    EdID[0],          EdID[1],
      EdID[2],         EdID[3],        EdID[4],    EdID[5],     EdID[6],      EdBackupComplete, EdMetricsFile,
      EdPingURL,       Button1,        btnOK,      btnCancel};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  ChkBox->setFocus();
}

void TFrmMailSettings::ConnectControls() {
  connect(ChkBox, &QCheckBox::toggled, this, &TFrmMailSettings::ChkBoxClick);
  connect(btnOK, &QPushButton::clicked, this, &TFrmMailSettings::btnOKClick);
  connect(btnCancel, &QPushButton::clicked, this, &TFrmMailSettings::btnCancelClick);
  connect(Button1, &QPushButton::clicked, this, &TFrmMailSettings::Button1Click);
  connect(CbSecurity, &QComboBox::activated, this, &TFrmMailSettings::CbSecurityChange);
  connect(CbSecurity, &QComboBox::currentIndexChanged, this, &TFrmMailSettings::ShowPortLabel);
  connect(btnCAFile, &QPushButton::clicked, this, &TFrmMailSettings::btnCAFileClick);
  connect(btnFingerprint, &QPushButton::clicked, this, &TFrmMailSettings::btnFingerprintClick);
}

void TFrmMailSettings::FormCreate() {
  notifier_ = std::make_unique<TNotifier>();
  LoadSettings(*notifier_);
  notSaved_ = true;
  const TNotifier& n = *notifier_;
  EbSMTPHost->setText(Q(n.SMTPServer));
  EbPort->setText(QString::number(n.SMTPPort));
  if (n.SMTPSecurity >= 0 && n.SMTPSecurity <= 2) {
    CbSecurity->setCurrentIndex(n.SMTPSecurity);
  } else {
    // Shown as what it is: taken for "None", a save would lower it to plain SMTP unnoticed.
    unknownSecurity_ = n.SMTPSecurity;
    CbSecurity->addItem(UnknownSecurityText(n.SMTPSecurity));
    CbSecurity->setCurrentIndex(3);
  }
  ShowPortLabel();
  EdCAFile->setText(Q(n.SMTPCAFile));
  EdFingerprint->setText(Q(n.SMTPFingerprint));
  EBReply->setText(Q(n.SMTPFrom));
  EdDescription->setText(Q(n.SiteDescription));
  EdSiteID->setText(Q(n.SiteID));
  ChkBox->setChecked(n.SMTPRequiresLogon);
  Euser->setText(Q(n.SMTPLogon));
  EPass->setText(Q(n.SMTPPwd));
  ChkID->setChecked(n.IDDisk);
  EdAlerts->setText(Q(n.ErrorEmails));
  EdLogEmails->setText(Q(n.LogEmails));
  EdDiskChange->setText(Q(n.DiskChangeEmails));
  for (int d = 0; d < 7; ++d) ChkDay[d]->setChecked(n.*DayFlags[d]);
  for (int d = 0; d < 7; ++d) EdID[d]->setText(Q(n.*DayIds[d]));
  EdBackupComplete->setText(Q(n.BackupCompleteEmails));
  EdMetricsFile->setText(Q(n.MetricsFile));
  EdPingURL->setText(Q(n.PingURL));
  ChkCreatDest->setChecked(n.CreateDestFolder);

  const bool logon = ChkBox->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(EPass), static_cast<QWidget*>(Euser),
                     static_cast<QWidget*>(lblUser), static_cast<QWidget*>(lblPass)})
    w->setEnabled(logon);
}

void TFrmMailSettings::ChkBoxClick() {
  const bool logon = ChkBox->isChecked();
  EPass->setEnabled(logon);
  Euser->setEnabled(logon);
  lblUser->setEnabled(logon);
  lblPass->setEnabled(logon);
  if (!logon) {
    Euser->clear();
    EPass->clear();
  }
}

void TFrmMailSettings::ValidateSettings() {
  if (EbSMTPHost->text().isEmpty()) WarnAndAbort("You need to set the SMTP host address");
  // A port beyond 32 bits would wrap silently when stored, so it is refused like a missing one.
  const int64_t port = TextToInt64(S(EbPort->text()));
  if (port == 0 || port < std::numeric_limits<int32_t>::min() || port > std::numeric_limits<int32_t>::max())
    WarnAndAbort("SMTP port is required. Normally this is 25");
  if (EBReply->text().isEmpty()) WarnAndAbort("Address from is required");
  if (CbSecurity->currentIndex() > 2)
    WarnAndAbort(
        "The stored connection security is unknown to this program: choose None, STARTTLS or SSL/TLS");
  const QString fingerprint = EdFingerprint->text().trimmed();
  if (!fingerprint.isEmpty() && NormalizedFingerprint(S(fingerprint)).empty())
    WarnAndAbort("The certificate fingerprint must be 64 hex digits (colons allowed)");
  if (!ValidPingUrl(S(EdPingURL->text().trimmed())))
    WarnAndAbort("The ping URL must start with http:// or https:// (leave it empty for no pings)");
  if (CbSecurity->currentIndex() == 0 && (!EdCAFile->text().trimmed().isEmpty() || !fingerprint.isEmpty()))
    WarnAndAbort("Trusted certificates and a fingerprint need STARTTLS or SSL/TLS");
}

void TFrmMailSettings::ShowPortLabel() {
  const int index = CbSecurity->currentIndex();
  Label40->setText(index == 1   ? "SMTP Port (normally 587):"
                   : index == 2 ? "SMTP Port (normally 465):"
                                : "SMTP Port (normally 25):");
}

void TFrmMailSettings::btnCAFileClick() {
  const QString chosen = QFileDialog::getOpenFileName(this, "Trusted certificates", EdCAFile->text(),
                                                      "PEM certificates (*.pem *.crt);;All files (*)");
  if (!chosen.isEmpty()) EdCAFile->setText(chosen);
}

void TFrmMailSettings::CbSecurityChange(int index) {
  if (EbPort->text().trimmed() != "25") return;  // a port the user chose stays
  if (index == 1) EbPort->setText("587");
  if (index == 2) EbPort->setText("465");
}

void TFrmMailSettings::ControlsToSettings() {
  TNotifier& n = *notifier_;
  n.SMTPServer = S(EbSMTPHost->text());
  // ValidateSettings has made sure the number fits.
  n.SMTPPort = static_cast<int32_t>(TextToInt64(S(EbPort->text())));
  // ValidateSettings has refused an unknown choice; Test alone may carry it, and the send refuses it.
  n.SMTPSecurity =
      CbSecurity->currentIndex() <= 2 ? CbSecurity->currentIndex() : unknownSecurity_.value_or(-1);
  n.SMTPCAFile = S(EdCAFile->text().trimmed());
  n.SMTPFingerprint = S(EdFingerprint->text().trimmed());
  n.SMTPFrom = S(EBReply->text());
  n.SiteDescription = S(EdDescription->text());
  n.SiteID = S(EdSiteID->text());
  n.SMTPRequiresLogon = ChkBox->isChecked();
  n.SMTPLogon = S(Euser->text());
  n.SMTPPwd = S(EPass->text());
  n.IDDisk = ChkID->isChecked();
  n.ErrorEmails = S(EdAlerts->text());
  n.LogEmails = S(EdLogEmails->text());
  for (int d = 0; d < 7; ++d) n.*DayFlags[d] = ChkDay[d]->isChecked();
  for (int d = 0; d < 7; ++d) n.*DayIds[d] = S(EdID[d]->text());
  n.BackupCompleteEmails = S(EdBackupComplete->text());
  n.MetricsFile = S(EdMetricsFile->text().trimmed());
  n.PingURL = S(EdPingURL->text().trimmed());
  n.DiskChangeEmails = S(EdDiskChange->text());
  n.CreateDestFolder = ChkCreatDest->isChecked();
}

void TFrmMailSettings::Guarded(const std::function<void()>& action) {
  try {
    action();
  } catch (const ESilentAbort&) {
  } catch (const std::exception& e) {
    Ui().ShowError(e.what());
  }
}

void TFrmMailSettings::btnOKClick() {
  Guarded([this] {
    ValidateSettings();
    ControlsToSettings();
    SaveSettings(*notifier_);
    notSaved_ = false;
    accept();
  });
}

void TFrmMailSettings::btnCancelClick() {
  Guarded([this] { reject(); });
}

void TFrmMailSettings::Button1Click() {
  Guarded([this] {
    ValidateSettings();
    ControlsToSettings();
    std::string to = S(EBReply->text());
    // A cancelled prompt still sends, to whoever the previous test went to.
    if (Ui().InputQuery("Test Email", "Send Test Message to:", to)) notifier_->SendTo = to;
    std::string reason;
    // The reason as the mail side words it (the server's reply, the certificate's fault), unchanged.
    if (SendTestMessage(*notifier_, notifier_->SendTo, reason))
      ShowInfo("Message sent.");
    else
      Ui().ShowWarning(reason);
  });
}

void TFrmMailSettings::btnFingerprintClick() {
  Guarded([this] {
    if (EbSMTPHost->text().trimmed().isEmpty()) WarnAndAbort("You need to set the SMTP host address");
    const int index = CbSecurity->currentIndex();
    if (index != 1 && index != 2)
      WarnAndAbort("A certificate comes only with STARTTLS or SSL/TLS: choose one");
    const int64_t port = TextToInt64(S(EbPort->text()));
    if (port <= 0 || port > 65535) WarnAndAbort("SMTP port is required. Normally this is 25");
    const TPeerCertificate cert = FetchPeerCertificate(
        S(EbSMTPHost->text().trimmed()), static_cast<int>(port), index == 1, NotifierSmtpTimeout());
    std::string fingerprint = cert.fingerprint;
    if (Ui().InputQuery("Server Certificate",
                        "Subject: " + cert.subject +
                            "\nSHA-256 fingerprint below. OK accepts exactly this certificate from now on:",
                        fingerprint))
      EdFingerprint->setText(Q(fingerprint));
  });
}

bool ShowMailSettings() {
  TFrmMailSettings dlg(QApplication::activeWindow());
  dlg.exec();
  return !dlg.NotSaved();
}

}  // namespace tavik
