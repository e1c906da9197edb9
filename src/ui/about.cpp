#include "ui/about.h"

#include <QKeyEvent>

#include "ui/Colors.h"
#include "ui/HelpFile.h"
#include "ui/Install.h"
#include "ui/JpegImage.h"

namespace qm::ui {
namespace {

TLabelEx* MakeLink(QWidget* parent, const QString& text, int x, int y) {
  auto* link = new TLabelEx(parent);
  link->setText(text);
  link->setCursor(Qt::PointingHandCursor);
  link->SetFontColor(WinColor(clBlue));
  link->ActiveColor = WinColor(clBlue);
  link->move(x, y);
  link->adjustSize();
  link->Loaded();
  return link;
}

}  // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  if (parent) setFont(parent->font());  // a window does not take its owner's font by itself
  setWindowTitle(QStringLiteral("About Quillmark"));
  setFixedSize(396, 237);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, WinColor(clFace));
  setPalette(pal);

  Image2 = new QLabel(this);
  Image2->move(11, 12);
  const QImage picture = DecodeJpeg(kAboutPicture, kAboutPictureSize);
  if (!picture.isNull()) Image2->setPixmap(QPixmap::fromImage(picture));
  Image2->resize(156, 213);

  Label1 = new QLabel(QStringLiteral("Quillmark"), this);
  QFont title(QStringLiteral("Times New Roman"));
  title.setStyleHint(QFont::Serif);
  title.setPixelSize(24);
  title.setBold(true);
  Label1->setFont(title);
  Label1->move(183, 12);
  Label1->adjustSize();

  Label2 = new QLabel(QStringLiteral("Version %1").arg(QLatin1String(kVersion)), this);
  Label2->move(186, 55);
  Label2->adjustSize();

  // The manual, as Help opens it.
  LabelEx1 = MakeLink(this, QStringLiteral("Quillmark manual"), 186, 87);
  LabelEx1->OnClick = [this](TLabelEx*) { OpenHelp(this); };

  Button1 = new QPushButton(QStringLiteral("OK"), this);
  Button1->setGeometry(304, 196, 67, 25);
  Button1->setDefault(true);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

void TfrmAbout::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape: accept(); return;
    default: event->accept(); return;  // every other key does nothing
  }
}

}  // namespace qm::ui
