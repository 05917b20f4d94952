#include "ui/errordisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace {

struct ShownBox {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* parent = nullptr;
};

// Runs `display` and reads the message box it opens, closing it from inside its own loop.
ShownBox show(const ui::ErrorDisplay& display, int number, const QString& description) {
  ShownBox shown;
  QTimer::singleShot(0, [&shown] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    shown = {box->windowTitle(), box->text(), box->icon(), box->parentWidget()};
    box->accept();
  });
  display(number, description);
  return shown;
}

}  // namespace

class ErrorDisplayTest : public QObject {
  Q_OBJECT

 private slots:
  void showsNumberAndDescriptionOverItsOwner() {
    QWidget owner;
    owner.show();
    const ShownBox shown =
        show(ui::messageBoxErrorDisplay(&owner), 53, QStringLiteral("File not found"));
    QCOMPARE(shown.title, QStringLiteral("Error 53"));
    QCOMPARE(shown.text, QStringLiteral("File not found"));
    QCOMPARE(shown.icon, QMessageBox::Critical);
    QCOMPARE(shown.parent, &owner);
  }

  void outlivesItsOwner() {
    auto owner = std::make_unique<QWidget>();
    const ui::ErrorDisplay display = ui::messageBoxErrorDisplay(owner.get());
    owner.reset();
    const ShownBox shown = show(display, 5, QStringLiteral("Invalid procedure call"));
    QCOMPARE(shown.title, QStringLiteral("Error 5"));
    QVERIFY(shown.parent == QApplication::activeWindow() || shown.parent == nullptr);
  }
};

QTEST_MAIN(ErrorDisplayTest)
#include "errordisplay_test.moc"
