#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <memory>

class QSettings;
class QVariant;

// What the main window keeps between runs in the user's settings file: its size and place, the
// grid's dragged widths and order, the folder each dialog was last left in and the export format
// last chosen. Everything is read once and checked, so a damaged or unreadable file reads as an
// empty one; without a file the values last only as long as this object.
class WindowSettings final {
 public:
  enum class Folder { AddDirectory, Rescan, Export };

  WindowSettings() = default;
  explicit WindowSettings(std::shared_ptr<QSettings> store);

  QByteArray geometry() const { return m_geometry; }
  QHash<QString, int> columnWidths() const { return m_widths; }
  QStringList columnOrder() const { return m_order; }
  // Kept when the window closes.
  void keepWindow(const QByteArray& geometry, const QHash<QString, int>& widths,
                  const QStringList& order);

  // Empty when none was chosen yet. Kept at once: a chosen folder outlives a crash.
  QString folder(Folder which) const { return m_folders[static_cast<std::size_t>(which)]; }
  void setFolder(Folder which, const QString& folder);

  QString exportFilter() const { return m_exportFilter; }
  void setExportFilter(const QString& filter);

 private:
  void put(const QString& key, const QVariant& value, bool empty);
  void sync();

  std::shared_ptr<QSettings> m_store;
  QByteArray m_geometry;
  QHash<QString, int> m_widths;
  QStringList m_order;
  std::array<QString, 3> m_folders;
  QString m_exportFilter;
};
