#include "folderpicker.h"

#include <QFileDialog>

namespace importer {

FolderPicker fileDialogFolderPicker() {
  return [](QWidget* parent, const QString& prompt) -> std::optional<QString> {
    const QString folder = QFileDialog::getExistingDirectory(parent, prompt, QString(),
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return std::nullopt;  // cancelled
    return folder;
  };
}

}  // namespace importer
