#include "windowtesting.h"

#include <QAbstractItemModel>
#include <QUrl>

#include <optional>

namespace windowtesting {

std::unique_ptr<frmMain> quietWindow(const QString& path,
                                     std::vector<std::pair<int, QString>>& errors) {
  auto window = std::make_unique<frmMain>(
      path, [&errors](int number, const QString& text) { errors.emplace_back(number, text); },
      [](QWidget*, const QString&, const QString&) { return std::optional<QString>(); },
      [] { return std::unique_ptr<importer::Mp3Info>(); });
  window->setUrlOpener([](const QUrl&) { return false; });
  window->setSaveDialog([](QWidget*, const QString&, const QString&, const frmMain::SaveChoice&) {
    return std::optional<frmMain::SaveChoice>();
  });
  window->setCheckDialog([](QWidget*) { return std::optional<CheckChoice>(); });
  return window;
}

QList<int> shownIds(QAbstractItemModel* model) {
  while (model->canFetchMore(QModelIndex())) model->fetchMore(QModelIndex());
  QList<int> ids;
  for (int row = 0; row < model->rowCount(); ++row) ids << model->index(row, 0).data().toInt();
  return ids;
}

}  // namespace windowtesting
