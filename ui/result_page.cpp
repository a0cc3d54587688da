// The result page: hits grouped by category and extension, the file table with its checks, the
// preview pane and the summary of what is selected.
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include <cstring>
#include <unordered_map>

#include "engine/categories.h"
#include "ui/drui.h"
#include "util/os_helpers.h"
#include "util/text.h"

using namespace vorlenta;

namespace {

constexpr int kPreviewWidth = 720;
constexpr int kPreviewHeight = 200;
constexpr int kTableNameWidth = 400;
constexpr int kTableSizeWidth = 300;
constexpr int kTableMinWidth = 300;
constexpr int kTableMinHeight = 205;
constexpr int kSmallButtonWidth = 90;
constexpr int kSmallButtonGap = 30;
constexpr double kSmallIconDivisor = 2.5;
constexpr int kCategoryRole = Qt::UserRole;
constexpr int kGroupKeyRole = Qt::UserRole + 1;
constexpr int kHitIndexRole = Qt::UserRole;
// The shortest probe "." + extension that is looked up in the category lists.
constexpr size_t kShortestProbe = 3;
constexpr const char* kNoExtensionKey = "unKnow";

const char* const kCategoryTitles[] = {"Photo(%1)", "Music(%1)", "Office(%1)", "Video(%1)", "Archive(%1)", "Other(%1)"};

// Extension words with a picture of their own; "jpeg" and "tiff" share jpg's and tif's.
const char* const szFileTypeStr[] = {"7z",
                                     "accdb",
                                     "ace",
                                     "acid",
                                     "aiff",
                                     "asf",
                                     "at3",
                                     "au",
                                     "avi",
                                     "bmp",
                                     "cab",
                                     "chm",
                                     "divx",
                                     "doc",
                                     "dss",
                                     "dv",
                                     "epson",
                                     "exe",
                                     "gif",
                                     "gzip",
                                     "html",
                                     "ico",
                                     "indd",
                                     "jar",
                                     "jpg",
                                     "jpeg",
                                     "mamiya",
                                     "mid",
                                     "minolta",
                                     "mov",
                                     "mp3",
                                     "mp4",
                                     "mpeg",
                                     "music",
                                     "ods",
                                     "ogg",
                                     "one",
                                     "other",
                                     "pdf",
                                     "png",
                                     "ppt",
                                     "psd",
                                     "psp",
                                     "rar",
                                     "real",
                                     "rmvb",
                                     "rps",
                                     "thm",
                                     "tif",
                                     "tiff",
                                     "tod",
                                     "txt",
                                     "vob",
                                     "wma",
                                     "wmv",
                                     "wps",
                                     "xls",
                                     "xml",
                                     "zip",
                                     "audio_default",
                                     "default",
                                     "image",
                                     "office_default",
                                     "photo_default",
                                     "video_default",
                                     nullptr};

}  // namespace

int DRUI::CategoryOfExtension(const std::string& lowerExtension) {
  const std::string probe = "." + lowerExtension;
  if (probe.size() < kShortestProbe) return kOther;
  if (ListContains(kPhotoExtensionList, probe)) return kPhoto;
  if (ListContains(kAudioExtensionList, probe)) return kMusic;
  if (ListContains(kOfficeExtensionList, probe)) return kOffice;
  if (ListContains(kVideoExtensionList, probe)) return kVideo;
  if (ListContains(kArchiveExtensionList, probe) || ListContains(kExtendedOfficeArchiveList, probe)) return kArchive;
  return kOther;
}

QString DRUI::GetExtendNameIcon(const QString& ext) {
  const std::string lower = ext.toLower().toStdString();
  QString icon;
  switch (CategoryOfExtension(lower)) {
    case kPhoto:
      icon = ":/image/FileIcon/image.png";
      break;
    case kMusic:
      icon = ":/image/FileIcon/audio_default.png";
      break;
    case kOffice:
      icon = ":/image/FileIcon/office_default.png";
      break;
    case kVideo:
      icon = ":/image/FileIcon/video_default.png";
      break;
    case kArchive:
      icon = ListContains(kArchiveExtensionList, "." + lower) ? ":/image/FileIcon/zip.png"
                                                              : ":/image/FileIcon/office_default.png";
      break;
    default:
      icon = ":/image/FileIcon/other.png";
      break;
  }
  for (const char* const* word = szFileTypeStr; *word != nullptr; ++word) {
    if (lower != *word) continue;
    const QString file = lower == "jpeg" ? "jpg" : lower == "tiff" ? "tif" : QString(*word);
    return ":/image/FileIcon/" + file + ".png";
  }
  return icon;
}

DRUI::SelectionKey DRUI::KeyOf(const _FILE_NODE_& node) {
  return SelectionKey{node.SourceKind, node.FileIndex, node.DirKey};
}

void DRUI::InitLayout3Widget() {
  if (m_page3 != nullptr) {
    m_stack->removeWidget(m_page3);
    m_page3->deleteLater();
  }
  m_lastClickedItem = nullptr;
  m_page3 = BuildPage(":/image/recover_file.png",
                      QString("Select Desired Files to Recover\nFound %1 recoverable files after the scan. Please "
                              "preview and choose the files you want to recover.")
                          .arg(m_searchResults.size()),
                      &m_resultPrompt);
  auto* layout = static_cast<QVBoxLayout*>(m_page3->layout());
  auto* body = new QHBoxLayout;
  body->setContentsMargins(10, 6, 10, 0);
  CreateTree();
  m_resultTree->setFixedWidth(240);
  body->addWidget(m_resultTree);
  auto* right = new QVBoxLayout;
  CreateTable();
  right->addWidget(m_table, 1);
  m_preview = new QLabel(m_page3);
  m_preview->setFixedSize(kPreviewWidth, kPreviewHeight);
  m_preview->setFrameShape(QFrame::StyledPanel);
  m_preview->setFont(QFont(ui::kFontFamily, 11, QFont::Normal));
  m_preview->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  right->addWidget(m_preview);
  body->addLayout(right, 1);
  layout->addLayout(body, 1);

  auto* bottom = new QHBoxLayout;
  bottom->setContentsMargins(10, 6, 10, 10);
  auto* back = MainButton("Back", 16, m_page3);
  back->setMinimumSize(140, 44);
  connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
  bottom->addWidget(back);
  auto* small = new QWidget(m_page3);
  small->setFixedSize(3 * kSmallButtonWidth + 2 * kSmallButtonGap, 40);
  for (int i = 0; i < 3; ++i) CreateButton(i, i, small);
  bottom->addWidget(small);
  m_summary = new QLabel("Select 0 Bytes in 0 file", m_page3);
  m_summary->setFont(QFont(ui::kFontFamily, 12));
  bottom->addWidget(m_summary, 1, Qt::AlignCenter);
  m_btnRecover = MainButton("Recover", 16, m_page3);
  m_btnRecover->setMinimumSize(140, 44);
  connect(m_btnRecover, &QPushButton::clicked, this, &DRUI::btnRecovery);
  bottom->addWidget(m_btnRecover);
  layout->addLayout(bottom);
  m_stack->addWidget(m_page3);
  UpdateSummary();
}

QPushButton* DRUI::CreateButton(int index, int position, QWidget* parent) {
  static const char* const kPictures[] = {":/image/about.png", ":/image/support.png", ":/image/help.png"};
  static const char* const kTexts[] = {"About", "Support", "Help"};
  static void (DRUI::*const kSlots[])() = {&DRUI::btnAboutSlot, &DRUI::btnSupportSlot, &DRUI::btnHelpSlot};
  auto* button = new QPushButton(kTexts[index], parent);
  button->setFlat(true);
  button->setStyleSheet(ui::kSmallButtonStyle);
  const QPixmap picture(kPictures[index]);
  button->setIcon(QIcon(picture));
  button->setIconSize(picture.size() / kSmallIconDivisor);
  button->setCursor(Qt::PointingHandCursor);
  QFont font;
  font.setPointSize(10);
  font.setBold(true);
  button->setFont(font);
  button->setGeometry(position * (kSmallButtonWidth + kSmallButtonGap), 4, kSmallButtonWidth, 32);
  connect(button, &QPushButton::clicked, this, kSlots[index]);
  return button;
}

void DRUI::CreateTree() {
  for (auto& map : m_categoryMaps) map.clear();
  m_categoryCounts.fill(0);
  for (size_t i = 0; i < m_searchResults.size(); ++i) {
    const char* name = m_searchResults[i].FileName;
    std::string ext;
    if (!GetLowerExtension(name, ext)) {
      if (name[0] == '\0') continue;
      m_categoryMaps[kOther][kNoExtensionKey].push_back(i);
      ++m_categoryCounts[kOther];
      continue;
    }
    const int category = CategoryOfExtension(ext);
    m_categoryMaps[static_cast<size_t>(category)][ext].push_back(i);
    ++m_categoryCounts[static_cast<size_t>(category)];
  }
  m_resultTree = new QTreeWidget(m_page3);
  m_resultTree->setStyleSheet(ui::kTreeItemStyle);
  m_resultTree->setColumnCount(1);
  m_resultTree->setHeaderLabels({"Name"});
  for (int c = 0; c < kCategoryCount; ++c) {
    if (m_categoryCounts[static_cast<size_t>(c)] == 0) continue;
    auto* top =
        new QTreeWidgetItem(m_resultTree, {QString(kCategoryTitles[c]).arg(m_categoryCounts[static_cast<size_t>(c)])});
    top->setCheckState(0, Qt::Unchecked);
    top->setData(0, kCategoryRole, c);
    for (const auto& [key, hits] : m_categoryMaps[static_cast<size_t>(c)]) {
      const QString word = QString::fromStdString(key);
      auto* child = new QTreeWidgetItem(top, {QString("%1 Files (%2)").arg(word).arg(hits.size())});
      child->setIcon(0, QIcon(GetExtendNameIcon(word)));
      child->setCheckState(0, Qt::Unchecked);
      child->setData(0, kCategoryRole, c);
      child->setData(0, kGroupKeyRole, word);
    }
  }
  m_resultTree->expandAll();
  connect(m_resultTree, &QTreeWidget::itemClicked, this, &DRUI::treeItemClick);
  connect(m_resultTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::treeItemSelectChanged);
  connect(m_resultTree, &QTreeWidget::itemChanged, this, &DRUI::treeItemChanged);
}

void DRUI::CreateTable() {
  m_table = new QTableWidget(0, 2, m_page3);
  m_table->setHorizontalHeaderLabels({"Name", "Size"});
  m_table->setColumnWidth(0, kTableNameWidth);
  m_table->setColumnWidth(1, kTableSizeWidth);
  m_table->horizontalHeader()->setStretchLastSection(true);
  m_table->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
  m_table->verticalHeader()->setVisible(false);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->setSelectionMode(QAbstractItemView::SingleSelection);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->setMinimumSize(kTableMinWidth, kTableMinHeight);
  connect(m_table, &QTableWidget::itemChanged, this, &DRUI::tableItemChanged);
  connect(m_table, &QTableWidget::itemSelectionChanged, this, &DRUI::tableItemSelectChanged);
}

std::vector<size_t> DRUI::FilesOfItem(QTreeWidgetItem* item) const {
  std::vector<size_t> files;
  if (item == nullptr) return files;
  const int category = item->data(0, kCategoryRole).toInt();
  if (category < 0 || category >= kCategoryCount) return files;
  const auto& map = m_categoryMaps[static_cast<size_t>(category)];
  if (item->parent() == nullptr) {
    for (const auto& group : map) files.insert(files.end(), group.second.begin(), group.second.end());
    return files;
  }
  const auto found = map.find(item->data(0, kGroupKeyRole).toString().toStdString());
  if (found != map.end()) files = found->second;
  return files;
}

void DRUI::treeItemSelectChanged() {
  QTreeWidgetItem* item = m_resultTree->currentItem();
  UpdateTreeInfo(item, 0);
  m_lastClickedItem = item;
}

void DRUI::treeItemClick(QTreeWidgetItem* item, int column) {
  if (item == m_lastClickedItem) UpdateTreeInfo(item, column);
  m_resultTree->setCurrentItem(item);
}

void DRUI::treeItemChanged(QTreeWidgetItem* item, int column) {
  if (m_updatingChecks || column != 0) return;
  const Qt::CheckState state = item->checkState(0);
  if (state == Qt::PartiallyChecked) return;
  m_updatingChecks = true;
  SetTreeChildCheckState(item, state);
  SetTreeParentCheckState(item);
  ApplyGroupCheck(item);
  m_updatingChecks = false;
  // The rows on show may belong to the group that just changed: let their boxes follow.
  if (QTreeWidgetItem* current = m_resultTree->currentItem(); current != nullptr) UpdateTreeInfo(current, 0);
  UpdateSummary();
}

void DRUI::ApplyGroupCheck(QTreeWidgetItem* item) {
  const bool select = item->checkState(0) == Qt::Checked;
  for (size_t index : FilesOfItem(item)) {
    const _FILE_NODE_& node = m_searchResults[index];
    if (select) {
      m_selection.emplace(KeyOf(node), node);
    } else {
      m_selection.erase(KeyOf(node));
    }
  }
  m_nSelectCount = static_cast<int>(m_selection.size());
}

void DRUI::SetTreeChildCheckState(QTreeWidgetItem* item, Qt::CheckState state) {
  for (int i = 0; i < item->childCount(); ++i) {
    item->child(i)->setCheckState(0, state);
    SetTreeChildCheckState(item->child(i), state);
  }
}

void DRUI::SetTreeParentCheckState(QTreeWidgetItem* item) {
  for (QTreeWidgetItem* parent = item->parent(); parent != nullptr; parent = parent->parent()) {
    int checked = 0, unchecked = 0;
    for (int i = 0; i < parent->childCount(); ++i) {
      const Qt::CheckState s = parent->child(i)->checkState(0);
      checked += s == Qt::Checked ? 1 : 0;
      unchecked += s == Qt::Unchecked ? 1 : 0;
    }
    parent->setCheckState(0, checked == parent->childCount()     ? Qt::Checked
                             : unchecked == parent->childCount() ? Qt::Unchecked
                                                                 : Qt::PartiallyChecked);
  }
}

void DRUI::UpdateTreeInfo(QTreeWidgetItem* item, int) {
  // Refilling must not look like the user checking rows.
  const QSignalBlocker blocker(m_table);
  m_table->setUpdatesEnabled(false);
  m_table->clearContents();
  m_table->setRowCount(0);
  if (item != nullptr && item->parent() != nullptr) {
    const std::vector<size_t> files = FilesOfItem(item);
    m_table->setRowCount(static_cast<int>(files.size()));
    std::unordered_map<std::string, QIcon> icons;
    for (size_t row = 0; row < files.size(); ++row) {
      const _FILE_NODE_& node = m_searchResults[files[row]];
      std::string ext;
      GetLowerExtension(node.FileName, ext);
      auto icon = icons.find(ext);
      if (icon == icons.end()) icon = icons.emplace(ext, QIcon(GetExtendNameIcon(QString::fromStdString(ext)))).first;
      auto* name = new QTableWidgetItem(icon->second, QString::fromStdString(AnsiToUtf8(node.FileName)));
      name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      name->setCheckState(m_selection.count(KeyOf(node)) != 0 ? Qt::Checked : Qt::Unchecked);
      name->setData(kHitIndexRole, static_cast<qulonglong>(files[row]));
      auto* size =
          new QTableWidgetItem(QString::fromStdString(GetFileSizeString(static_cast<long long>(node.FileSize))));
      size->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      m_table->setItem(static_cast<int>(row), 0, name);
      m_table->setItem(static_cast<int>(row), 1, size);
    }
  }
  m_table->setUpdatesEnabled(true);
  UpdateSummary();
}

void DRUI::tableItemChanged(QTableWidgetItem* item) {
  if (item == nullptr || item->column() != 0) return;
  const size_t index = item->data(kHitIndexRole).toULongLong();
  if (index >= m_searchResults.size()) return;
  const _FILE_NODE_& node = m_searchResults[index];
  if (item->checkState() == Qt::Checked) {
    m_selection.emplace(KeyOf(node), node);
  } else {
    m_selection.erase(KeyOf(node));
  }
  m_nSelectCount = static_cast<int>(m_selection.size());
  QTreeWidgetItem* group = m_resultTree->currentItem();
  if (group != nullptr && group->parent() != nullptr) {
    size_t selected = 0;
    const std::vector<size_t> files = FilesOfItem(group);
    for (size_t i : files) selected += m_selection.count(KeyOf(m_searchResults[i]));
    m_updatingChecks = true;
    group->setCheckState(0, selected == files.size() ? Qt::Checked
                            : selected == 0          ? Qt::Unchecked
                                                     : Qt::PartiallyChecked);
    SetTreeParentCheckState(group);
    m_updatingChecks = false;
  }
  UpdateSummary();
}

void DRUI::tableItemSelectChanged() {
  const QList<QTableWidgetItem*> selected = m_table->selectedItems();
  if (selected.isEmpty() || m_engine == nullptr) return;
  QTableWidgetItem* name = m_table->item(selected.first()->row(), 0);
  const size_t index = name != nullptr ? name->data(kHitIndexRole).toULongLong() : m_searchResults.size();
  if (index >= m_searchResults.size()) return;
  m_previewNode = m_searchResults[index];
  RunOperation(kOpPreview, &DRUI::_PreviewProcess);
  ShowPreview();
}

void DRUI::UpdateSummary() {
  if (m_summary == nullptr) return;
  unsigned long long total = 0;
  for (const auto& entry : m_selection) total += entry.second.FileSize;
  const int count = static_cast<int>(m_selection.size());
  m_summary->setText(QString(count < 2 ? "Select %1 in %2 file" : "Select %1 in %2 files")
                         .arg(QString::fromStdString(GetFileSizeString(static_cast<long long>(total))))
                         .arg(count));
  SetMainButtonEnabled(m_btnRecover, count > 0);
}

void DRUI::ClearSelection() {
  m_selection.clear();
  m_nSelectCount = 0;
  UpdateSummary();
}
