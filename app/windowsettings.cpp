#include "app/windowsettings.h"

#include <QDataStream>
#include <QRect>
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

// QWidget::restoreGeometry takes a cut-off size and place as an empty one and shrinks the window
// to nothing: only a whole one with a real size is restored. The fields as saveGeometry writes
// them, versions 1 to 3.
bool wholeGeometry(const QByteArray& geometry) {
  QDataStream stream(geometry);
  stream.setVersion(QDataStream::Qt_4_0);
  quint32 magic = 0;
  quint16 major = 0;
  quint16 minor = 0;
  QRect frame;
  QRect normal;
  qint32 screenNumber = 0;
  quint8 maximized = 0;
  quint8 fullScreen = 0;
  stream >> magic >> major >> minor >> frame >> normal >> screenNumber >> maximized >> fullScreen;
  if (magic != 0x1D9D0CB || major < 1 || major > 3) return false;
  qint32 screenWidth = 0;
  QRect screen;
  if (major >= 2) stream >> screenWidth;
  if (major >= 3) stream >> screen;
  return stream.status() == QDataStream::Ok && !frame.isEmpty() && !normal.isEmpty();
}

// A value of another type than written (the file was edited or damaged) reads as none.
QString text(const QSettings& store, const QString& key) {
  const QVariant value = store.value(key);
  return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

}  // namespace

WindowSettings::WindowSettings(std::shared_ptr<QSettings> store) : m_store(std::move(store)) {
  if (!m_store || m_store->status() == QSettings::AccessError) return;
  const QVariant geometry = m_store->value(kGeometry);
  if (geometry.typeId() == QMetaType::QByteArray && wholeGeometry(geometry.toByteArray()))
    m_geometry = geometry.toByteArray();
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
  QVariantMap map;
  for (auto it = m_widths.constBegin(); it != m_widths.constEnd(); ++it)
    map.insert(it.key(), it.value());
  put(kGeometry, m_geometry, m_geometry.isEmpty());
  put(kColumnWidths, map, map.isEmpty());
  put(kColumnOrder, m_order, m_order.isEmpty());
  sync();
}

void WindowSettings::setFolder(Folder which, const QString& folder) {
  const auto i = static_cast<std::size_t>(which);
  m_folders[i] = folder;
  put(kFolders[i], folder, folder.isEmpty());
  sync();
}

void WindowSettings::setExportFilter(const QString& filter) {
  m_exportFilter = filter;
  put(kExportFilter, filter, filter.isEmpty());
  sync();
}

// Each change writes its own keys only: a second copy of the program, with the settings it read
// at its start, must not put back what this one changed since.
void WindowSettings::put(const QString& key, const QVariant& value, bool empty) {
  if (!m_store) return;
  // Only what there is: a user who never dragged a column finds no entry for it.
  if (empty)
    m_store->remove(key);
  else
    m_store->setValue(key, value);
}

void WindowSettings::sync() {
  // Written now rather than when the store goes: the program may not end cleanly.
  if (m_store) m_store->sync();
}
