#pragma once
// The email settings dialog: the mail account, the site, the recipient lists and the weekday
// disk schedule, loaded fresh when the dialog opens and saved only by OK.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <functional>
#include <memory>
#include <optional>

#include "notify/uNotifier.h"

class QVBoxLayout;

namespace tavik {

class TFrmMailSettings : public QDialog {
  Q_OBJECT
 public:
  explicit TFrmMailSettings(QWidget* parent = nullptr);
  ~TFrmMailSettings() override;

  // True until an OK has saved the settings.
  bool NotSaved() const { return notSaved_; }
  // The dialog's own notifier: what the last OK or Test copied from the controls.
  const TNotifier& Notifier() const { return *notifier_; }

  // Stops the current action through WarnAndAbort at the first field that is missing or wrong.
  void ValidateSettings();
  void ControlsToSettings();

 public slots:
  void ChkBoxClick();
  void btnOKClick();
  void btnCancelClick();
  void Button1Click();
  // A secure transport picked while the port is still plain SMTP's 25 moves to its usual port;
  // the port's label names the usual port of the choice.
  void CbSecurityChange(int index);
  void btnCAFileClick();
  // Connects to the server, shows its certificate's SHA-256 fingerprint and subject, and puts the
  // fingerprint into its field when the user accepts it.
  void btnFingerprintClick();

 private:
  void BuildWindow();
  void BuildMailSettingsPage();
  // OK, Cancel and Test, below the pages.
  void BuildButtons(QVBoxLayout* outer);
  void BuildNotificationsPage();
  void OrderTabs();
  void ConnectControls();
  void FormCreate();
  void ShowPortLabel();
  // Runs one user action: a silent abort ends it quietly, any other failure goes to the error box.
  void Guarded(const std::function<void()>& action);

  std::unique_ptr<TNotifier> notifier_;
  bool notSaved_ = true;

  QTabWidget* AdvOfficePager1 = nullptr;
  QWidget* MailSettingsPage = nullptr;
  QWidget* NotificationsPage = nullptr;

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* EdDescription = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* EdSiteID = nullptr;
  QLabel* Label38 = nullptr;
  QLabel* Label39 = nullptr;
  QLineEdit* EbSMTPHost = nullptr;
  QLabel* Label40 = nullptr;
  QLineEdit* EbPort = nullptr;
  QLabel* lblSecurity = nullptr;
  QComboBox* CbSecurity = nullptr;  // None, STARTTLS, SSL/TLS: the "SMTPSecurity" values
  // A stored "SMTPSecurity" this program does not know, shown as a fourth choice that cannot be saved.
  std::optional<int32_t> unknownSecurity_;
  QLabel* lblCAFile = nullptr;
  QLineEdit* EdCAFile = nullptr;
  QPushButton* btnCAFile = nullptr;
  QLabel* lblFingerprint = nullptr;
  QLineEdit* EdFingerprint = nullptr;
  QPushButton* btnFingerprint = nullptr;
  QLabel* Label41 = nullptr;
  QLineEdit* EBReply = nullptr;
  QCheckBox* ChkBox = nullptr;
  QLabel* lblUser = nullptr;
  QLineEdit* Euser = nullptr;
  QLabel* lblPass = nullptr;
  QLineEdit* EPass = nullptr;
  QCheckBox* ChkCreatDest = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

  QCheckBox* ChkID = nullptr;
  QCheckBox* ChkDay[7] = {};  // Monday to Sunday
  QLineEdit* EdID[7] = {};
  QLabel* Label7 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* EdAlerts = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* EdLogEmails = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* EdDiskChange = nullptr;
  QLabel* Label8 = nullptr;
  QLineEdit* EdBackupComplete = nullptr;
  QLabel* lblMetricsFile = nullptr;
  QLineEdit* EdMetricsFile = nullptr;
  QLabel* lblPingURL = nullptr;
  QLineEdit* EdPingURL = nullptr;
};

// Opens the dialog modally; true when the user saved the settings.
bool ShowMailSettings();

}  // namespace tavik
