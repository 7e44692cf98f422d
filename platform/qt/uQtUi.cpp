#include "platform/qt/uQtUi.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace tavik {

namespace {
QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}
QString AppTitle() {
  return QApplication::applicationDisplayName();
}
}  // namespace

void TQtUi::ShowInfo(const std::string& text) {
  if (unattended_) return headless_.ShowInfo(text);
  QMessageBox::information(QApplication::activeWindow(), AppTitle(), Q(text));
}

void TQtUi::ShowWarning(const std::string& text) {
  if (unattended_) return headless_.ShowWarning(text);
  QMessageBox::warning(QApplication::activeWindow(), AppTitle(), Q(text));
}

void TQtUi::ShowError(const std::string& text) {
  if (unattended_) return headless_.ShowError(text);
  QMessageBox::critical(QApplication::activeWindow(), AppTitle(), Q(text));
}

TMsgAnswer TQtUi::AskAbortRetryIgnore(const std::string& text) {
  if (unattended_) return headless_.AskAbortRetryIgnore(text);
  auto b = QMessageBox::critical(QApplication::activeWindow(), AppTitle(), Q(text),
                                 QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
  if (b == QMessageBox::Abort) return TMsgAnswer::Abort;
  if (b == QMessageBox::Ignore) return TMsgAnswer::Ignore;
  return TMsgAnswer::Retry;
}

bool TQtUi::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  if (unattended_) return headless_.InputQuery(caption, prompt, value);
  bool ok = false;
  QString r = QInputDialog::getText(QApplication::activeWindow(), Q(caption), Q(prompt), QLineEdit::Normal,
                                    Q(value), &ok);
  if (ok) {
    QByteArray b = r.toLocal8Bit();
    value.assign(b.constData(), static_cast<size_t>(b.size()));
  }
  return ok;
}

void TQtUi::ProcessMessages() {
  QCoreApplication::processEvents();
}

}  // namespace tavik
