#include "app/checkdialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

std::optional<CheckChoice> askCheckChoice(QWidget* parent) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("dlgCheckFiles"));
  dialog.setWindowTitle(QStringLiteral("Check Files"));
  auto* layout = new QVBoxLayout(&dialog);
  auto* which = new QLabel(QStringLiteral("Read the files of:"), &dialog);
  auto* view = new QRadioButton(QStringLiteral("the songs the grid lists now"), &dialog);
  view->setObjectName(QStringLiteral("optCheckView"));
  auto* folder = new QRadioButton(QStringLiteral("the songs below a folder (chosen next)"), &dialog);
  folder->setObjectName(QStringLiteral("optCheckFolder"));
  view->setChecked(true);
  auto* spectral = new QCheckBox(
      QStringLiteral("Also look for re-encoded files (slower: decodes up to 30 s of each)"),
      &dialog);
  spectral->setObjectName(QStringLiteral("chkCheckReencode"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  layout->addWidget(which);
  layout->addWidget(view);
  layout->addWidget(folder);
  layout->addWidget(spectral);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return CheckChoice{folder->isChecked(), spectral->isChecked()};
}
