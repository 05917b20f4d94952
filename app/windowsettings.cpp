#include "app/windowsettings.h"

#include <QSettings>
#include <QVariant>
#include <QVariantMap>

#include <utility>

namespace {

const QString kGeometry = QStringLiteral("MainWindow/Geometry");
const QString kColumnWidths = QStringLiteral("MainWindow/ColumnWidths");
const QString kColumnOrder = QStringLiteral("MainWindow/ColumnOrder");
const QString kExportFilter = QStringLiteral("Export/Filter");
const std::array<QString, 3> kFolders = {QStringLiteral("Folders/AddDirectory"),
                                         QStringLiteral("Folders/Rescan"),
                                         QStringLiteral("Folders/Export")};
// A width outside these was not dragged by anyone: the column is fitted instead.
constexpr int kNarrowestKept = 1;
constexpr int kWidestKept = 20000;

// A value of another type than written (the file was edited or damaged) reads as none.
QString text(const QSettings& store, const QString& key) {
  const QVariant value = store.value(key);
  return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

}  // namespace

WindowSettings::WindowSettings(std::shared_ptr<QSettings> store) : m_store(std::move(store)) {
  if (!m_store || m_store->status() == QSettings::AccessError) return;
  const QVariant geometry = m_store->value(kGeometry);
  if (geometry.typeId() == QMetaType::QByteArray) m_geometry = geometry.toByteArray();
  const QVariant widths = m_store->value(kColumnWidths);
  if (widths.typeId() == QMetaType::QVariantMap) {
    const QVariantMap map = widths.toMap();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
      bool ok = false;
      const int width = it.value().toInt(&ok);
      if (ok && width >= kNarrowestKept && width <= kWidestKept) m_widths.insert(it.key(), width);
    }
  }
  const QVariant order = m_store->value(kColumnOrder);
  // One heading alone reads back as a string.
  if (order.typeId() == QMetaType::QStringList || order.typeId() == QMetaType::QString)
    m_order = order.toStringList();
  m_order.removeAll(QString());
  for (std::size_t i = 0; i < kFolders.size(); ++i) m_folders[i] = text(*m_store, kFolders[i]);
  m_exportFilter = text(*m_store, kExportFilter);
}

void WindowSettings::keepWindow(const QByteArray& geometry, const QHash<QString, int>& widths,
                                const QStringList& order) {
  m_geometry = geometry;
  m_widths = widths;
  m_order = order;
  write();
}

void WindowSettings::setFolder(Folder which, const QString& folder) {
  m_folders[static_cast<std::size_t>(which)] = folder;
  write();
}

void WindowSettings::setExportFilter(const QString& filter) {
  m_exportFilter = filter;
  write();
}

void WindowSettings::write() {
  if (!m_store) return;
  // Only what there is: a user who never dragged a column finds no entry for it.
  const auto put = [this](const QString& key, const QVariant& value, bool empty) {
    if (empty)
      m_store->remove(key);
    else
      m_store->setValue(key, value);
  };
  put(kGeometry, m_geometry, m_geometry.isEmpty());
  QVariantMap widths;
  for (auto it = m_widths.constBegin(); it != m_widths.constEnd(); ++it)
    widths.insert(it.key(), it.value());
  put(kColumnWidths, widths, widths.isEmpty());
  put(kColumnOrder, m_order, m_order.isEmpty());
  for (std::size_t i = 0; i < kFolders.size(); ++i)
    put(kFolders[i], m_folders[i], m_folders[i].isEmpty());
  put(kExportFilter, m_exportFilter, m_exportFilter.isEmpty());
  // Written now rather than when the store goes: the program may not end cleanly.
  m_store->sync();
}
