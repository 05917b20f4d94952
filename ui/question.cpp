#include "ui/question.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

namespace ui {

Question messageBoxQuestion(QWidget* owner) {
  return [owner = QPointer<QWidget>(owner)](const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Quollsong Database"), text,
                    QMessageBox::Yes | QMessageBox::No, owner.data());
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  };
}

}  // namespace ui
