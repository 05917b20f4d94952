#include "app/importstatus.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "engine/utf8.h"
#include "import/importsummary.h"

namespace {

// Often enough to look alive, seldom enough to cost the import nothing.
constexpr int kRefreshMs = 250;

QString fromBytes(const std::string& text) {
  return QString::fromStdString(engine::validUtf8(text));
}

}  // namespace

ImportStatus::ImportStatus(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("importStatus"));
  m_text = new QLabel(this);
  m_text->setObjectName(QStringLiteral("lblImportStatus"));
  m_text->setTextFormat(Qt::PlainText);
  // A long folder name in the summary must not widen the window.
  m_text->setMinimumWidth(1);
  m_currentFolder = new QLabel(this);
  m_currentFolder->setObjectName(QStringLiteral("lblImportFolder"));
  m_currentFolder->setTextFormat(Qt::PlainText);
  m_currentFolder->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancel->setObjectName(QStringLiteral("cmdCancelImport"));
  m_cancel->setAutoDefault(false);
  m_cancel->hide();

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_text);
  layout->addWidget(m_currentFolder, 1);
  layout->addWidget(m_cancel);

  m_refresh.setInterval(kRefreshMs);
  connect(&m_refresh, &QTimer::timeout, this, &ImportStatus::refresh);
  connect(m_cancel, &QPushButton::clicked, this, &ImportStatus::cancelClicked);
  // A task gives up the files it is reading and may wait for a write: until it has returned,
  // the bar says that the click was heard.
  connect(m_cancel, &QPushButton::clicked, this, [this] {
    if (!m_taskProgress) return;
    m_stopping = true;
    m_cancel->setEnabled(false);
    m_text->setText(QString::fromUtf8(kStoppingText));
  });
}

void ImportStatus::start(const std::string& folder,
                         std::function<importer::ImportProgress()> progress, Walk walk) {
  m_walk = walk;
  m_taskProgress = nullptr;
  m_progress = std::move(progress);
  m_elapsed.start();
  m_cancel->show();
  m_cancel->setEnabled(true);
  // The import has not begun: what `progress` tells still describes the one before.
  m_text->setText(fromBytes(walk == Walk::Rescan ? importer::rescanProgressText({})
                                                  : importer::progressText({}, 0)));
  showFolder(folder);
  m_refresh.start();
}

void ImportStatus::startTask(std::function<QString()> progress) {
  m_stopping = false;
  m_progress = nullptr;
  m_taskProgress = std::move(progress);
  m_cancel->show();
  m_cancel->setEnabled(true);
  m_currentFolder->clear();
  m_currentFolder->setToolTip({});
  m_text->setText(m_taskProgress());
  m_text->setToolTip({});
  m_refresh.start();
}

void ImportStatus::finishWith(const QString& summary) {
  m_refresh.stop();
  m_stopping = false;
  m_progress = nullptr;
  m_taskProgress = nullptr;
  m_cancel->hide();
  m_currentFolder->clear();
  m_currentFolder->setToolTip({});
  m_text->setText(summary);
  m_text->setToolTip(summary);
}

void ImportStatus::clear() {
  if (m_progress || m_taskProgress) return;
  m_text->clear();
  m_text->setToolTip({});
  m_currentFolder->clear();
}

QString ImportStatus::text() const { return m_text->text(); }

void ImportStatus::refresh() {
  if (m_taskProgress) {
    m_text->setText(m_stopping ? QString::fromUtf8(kStoppingText) : m_taskProgress());
    return;
  }
  if (!m_progress) return;
  const importer::ImportProgress progress = m_progress();
  m_text->setText(fromBytes(
      m_walk == Walk::Rescan
          ? importer::rescanProgressText(progress.counts, progress.waitingForCatalogue)
          : importer::progressText(progress.counts,
                                   static_cast<double>(m_elapsed.elapsed()) / 1000.0,
                                   progress.waitingForCatalogue)));
  showFolder(progress.folder);
}

void ImportStatus::showFolder(const std::string& folder) {
  const QString full = fromBytes(folder);
  m_currentFolder->setToolTip(full);
  m_currentFolder->setText(m_currentFolder->fontMetrics().elidedText(
      full, Qt::ElideMiddle, std::max(0, m_currentFolder->width())));
}
