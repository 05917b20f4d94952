#include "app/errordisplay.h"

#include <QApplication>
#include <QMessageBox>

ErrorDisplay messageBoxErrorDisplay() {
  return [](int number, const QString& description) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error %1").arg(number), description,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  };
}
