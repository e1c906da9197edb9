#include "ui/QtHost.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace qm::ui {

QString MessageText(const std::string& text) {
  QString shown = QString::fromStdString(text);
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

namespace {

bool OnGuiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

}  // namespace

QtHost::QtHost(QWidget* owner) : owner_(owner) { sinceLastPump_.start(); }

MsgAnswer QtHost::MessageBox(const std::string& text, const std::string& caption, MsgButtons buttons,
                             MsgIcon icon) {
  // Widgets live on the GUI thread only: a question from another thread (a scan on a worker)
  // is shown there, and the asking thread waits for the answer. The GUI thread must not be
  // waiting for that thread meanwhile; the main window asks through a WorkerHost, which it can
  // release before it waits for its worker.
  if (!OnGuiThread()) {
    MsgAnswer answer = SafeAnswer(buttons);
    if (QCoreApplication* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(
          app, [&] { answer = MessageBox(text, caption, buttons, icon); }, Qt::BlockingQueuedConnection);
    return answer;
  }
  // Over a dialog that is open (the rebuild's), not behind it.
  QWidget* modal = QApplication::activeModalWidget();
  QMessageBox box(modal ? modal : owner_.data());
  box.setWindowTitle(QString::fromStdString(caption));
  box.setText(MessageText(text));
  box.setTextFormat(Qt::PlainText);
  switch (icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
  }
  // The first button is the default, as the message boxes of the core expect; Escape gives
  // the answer that writes nothing.
  switch (buttons) {
    case MsgButtons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Ok);
      break;
    case MsgButtons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Ok);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case MsgButtons::YesNo:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::No);
      break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case MsgButtons::AbortRetryIgnore:
      box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
      box.setDefaultButton(QMessageBox::Abort);
      box.setEscapeButton(QMessageBox::Abort);
      break;
  }
  const int pressed = box.exec();
  switch (pressed) {
    case QMessageBox::Ok: return MsgAnswer::Ok;
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    case QMessageBox::Abort: return MsgAnswer::Abort;
    case QMessageBox::Retry: return MsgAnswer::Retry;
    case QMessageBox::Ignore: return MsgAnswer::Ignore;
    default: return SafeAnswer(buttons);
  }
}

void QtHost::ProcessMessages() {
  // Only the GUI thread has events to process; a worker's loop goes on at once.
  if (!OnGuiThread()) return;
  // Reading the clock costs as much as scanning a sector from the page cache: look at it on
  // every 64th call only, which is still far more often than every 15 ms at any disk speed.
  if (++calls_ % 64 != 0 || sinceLastPump_.elapsed() < kPumpIntervalMs) return;
  QApplication::processEvents(QEventLoop::AllEvents);
  ++pumps_;
  sinceLastPump_.restart();
}

}  // namespace qm::ui
