#include "ui/errordisplay.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

namespace ui {

ErrorDisplay messageBoxErrorDisplay(QWidget* owner) {
  // The display may outlive its owner; then the box goes over whatever window is active.
  return [owner = QPointer<QWidget>(owner)](int number, const QString& description) {
    QWidget* parent = owner ? owner.data() : QApplication::activeWindow();
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error %1").arg(number), description,
                    QMessageBox::Ok, parent);
    box.exec();
  };
}

}  // namespace ui
