#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace importer {

// Lets the user choose a folder, starting in `startFolder` (the current folder when empty).
// Returns the chosen folder, or nullopt when the user cancelled.
using FolderPicker = std::function<std::optional<QString>(QWidget* parent, const QString& prompt,
                                                          const QString& startFolder)>;

// The real picker, over QFileDialog::getExistingDirectory (folders only).
FolderPicker fileDialogFolderPicker();

}  // namespace importer
