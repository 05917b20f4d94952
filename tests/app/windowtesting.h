#pragma once

#include <QList>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

#include "app/frmmain.h"

class QAbstractItemModel;

// What the tests of the main window share.
namespace windowtesting {

// A window on the catalogue at `path` whose errors are noted in `errors`, with a fake MP3
// component, and which never starts a program, opens a dialog or waits for a person: its folder
// picker, save dialog and Check Files' question answer Cancel and nothing opens a file.
std::unique_ptr<frmMain> quietWindow(const QString& path,
                                     std::vector<std::pair<int, QString>>& errors);

// The first column of every row the grid's model lists (the catalogue's IDs in a view of it),
// every row read.
QList<int> shownIds(QAbstractItemModel* model);

}  // namespace windowtesting
