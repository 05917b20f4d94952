#include "folderpicker.h"

#include <QFileDialog>

namespace importer {

FolderPicker fileDialogFolderPicker() {
  return [](QWidget* parent, const QString& prompt,
            const QString& startFolder) -> std::optional<QString> {
    const QString folder = QFileDialog::getExistingDirectory(parent, prompt, startFolder,
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return std::nullopt;  // cancelled
    return folder;
  };
}

}  // namespace importer
