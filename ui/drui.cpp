#include "ui/drui.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

#include <fcntl.h>

#include "ui/dialogs.h"
#include "util/debug_log.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

// Compiled-in pictures of the window; called once from outside any namespace, as Qt requires.
static void InitUiResources() { Q_INIT_RESOURCE(resources); }

using namespace vorlenta;

namespace {

constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 660;
constexpr int kNameColumnWidth = 700;
constexpr int kSizeColumnWidth = 100;
constexpr int kTileWidth = 220;
constexpr int kTileHeight = 220;
constexpr const char* kPartitionRole = "PARTITION_ITEM";
// Item data of a device row: the partition record, and the disk's path for finding it again.
constexpr int kPartitionDataRole = Qt::UserRole;
constexpr int kDiskPathRole = Qt::UserRole + 1;

}  // namespace

DRUI::DRUI(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags | Qt::FramelessWindowHint) {
  InitUiResources();
  qRegisterMetaType<_PARTITION_ITEM_>(kPartitionRole);
  setWindowTitle("Vorlenta");
  setFixedSize(kWindowWidth, kWindowHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  setStyleSheet(ui::kWindowStyle);
  m_chooseFolder = [](QWidget* parent, const QString& start) {
    return QFileDialog::getExistingDirectory(
        parent, QString(), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
  };
}

DRUI::~DRUI() = default;

void DRUI::Init() {
  m_previewBuffer.assign(static_cast<size_t>(m_nPreviewSize), 0);
  m_previewText.assign(static_cast<size_t>(m_nPreviewSize) * 2, 0);
  InitLayout1Widget();
  InitLayout2Widget();
  m_stack = new QStackedLayout(this);
  m_stack->setSpacing(0);
  m_stack->setContentsMargins(0, 0, 0, 0);
  m_stack->addWidget(m_page1);
  m_stack->addWidget(m_page2);
  m_stack->setCurrentWidget(m_page1);
  for (const std::string& folder : {GetSupportDir(), GetScanLogDir()}) {
    const int status = MakeSupportFolder(folder);
    if (status != 0) DebugPrint("cannot create %s: %d\n", folder.c_str(), status);
  }
}

QWidget* DRUI::BuildPage(const QString& iconPath, const QString& prompt, QLabel** promptLabel) {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new QWidget(page);
  header->setFixedHeight(90);
  auto* headerLayout = new QHBoxLayout(header);
  auto* title = new QLabel("\tVorlenta\n\t           Recover photos, videos, audios", header);
  title->setFont(QFont(ui::kFontFamily, 17, QFont::Bold));
  auto* version = new QLabel("Version " VORLENTA_VERSION, header);
  headerLayout->addWidget(title, 1);
  headerLayout->addWidget(version, 0, Qt::AlignBottom);
  for (auto [picture, slot] :
       {std::pair{":/image/minimize.png", &DRUI::btnMinSlot}, std::pair{":/image/close.png", &DRUI::btnCloseSlot}}) {
    auto* button = new QPushButton(header);
    button->setFlat(true);
    button->setIcon(QIcon(picture));
    button->setIconSize(QSize(24, 24));
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, slot);
    headerLayout->addWidget(button, 0, Qt::AlignTop);
  }
  layout->addWidget(header);

  auto* strip = new QWidget(page);
  strip->setStyleSheet(ui::kHeaderStripStyle);
  auto* stripLayout = new QHBoxLayout(strip);
  auto* icon = new QLabel(strip);
  icon->setPixmap(QPixmap(iconPath));
  auto* text = new QLabel(prompt, strip);
  text->setFont(QFont(ui::kFontFamily, 12));
  text->setWordWrap(true);
  stripLayout->addWidget(icon);
  stripLayout->addWidget(text, 1);
  layout->addWidget(strip);
  if (promptLabel != nullptr) *promptLabel = text;
  return page;
}

QPushButton* DRUI::MainButton(const QString& text, int points, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setFont(QFont(ui::kFontFamily, points, QFont::Bold));
  button->setMinimumSize(200, 56);
  button->setCursor(Qt::PointingHandCursor);
  SetMainButtonEnabled(button, true);
  return button;
}

void DRUI::SetMainButtonEnabled(QPushButton* button, bool enabled) {
  button->setEnabled(enabled);
  button->setStyleSheet(enabled ? ui::main_button_style : ui::main_button_style_no_file);
}

void DRUI::InitLayout1Widget() {
  m_page1 = BuildPage(":/image/scan_files.png",
                      "Select File Types\nPlease select the kinds of files you want to recover, then press Start.");
  auto* layout = static_cast<QVBoxLayout*>(m_page1->layout());
  auto* tiles = new QHBoxLayout;
  tiles->addStretch(1);
  struct Tile {
    const char* style;
    const char* icon;
    const char* label;
    Category category;
  };
  static const Tile kTiles[] = {
      {"background-color: rgb(180, 160, 200);", ":/image/photo.png", "Photo", kPhoto},
      {"background-color: rgb(250, 181, 160);", ":/image/music.png", "Music", kMusic},
      {"background-color: rgb(152, 215 ,245);", ":/image/video.png", "Video", kVideo},
  };
  for (const Tile& t : kTiles) {
    auto* panel = new QWidget(m_page1);
    panel->setFixedSize(kTileWidth, kTileHeight);
    panel->setStyleSheet(t.style);
    auto* panelLayout = new QVBoxLayout(panel);
    auto* icon = new QLabel(panel);
    icon->setPixmap(QPixmap(t.icon));
    icon->setAlignment(Qt::AlignCenter);
    auto* label = new QLabel(t.label, panel);
    label->setFont(QFont(ui::kFontFamily, 16, QFont::Bold));
    label->setAlignment(Qt::AlignCenter);
    auto* box = new QCheckBox(panel);
    box->setChecked(true);
    panelLayout->addWidget(icon, 1);
    panelLayout->addWidget(label);
    panelLayout->addWidget(box, 0, Qt::AlignCenter);
    m_categoryBoxes[t.category] = box;
    connect(box, &QCheckBox::stateChanged, this, &DRUI::CheckBoxStatChange);
    tiles->addWidget(panel);
    tiles->addSpacing(30);
  }
  tiles->addStretch(1);
  // Office, Archive and Other exist for the search key but are not offered.
  for (Category hidden : {kOffice, kArchive, kOther}) {
    m_categoryBoxes[hidden] = new QCheckBox(m_page1);
    m_categoryBoxes[hidden]->hide();
  }
  layout->addSpacing(30);
  layout->addLayout(tiles);
  layout->addSpacing(30);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  m_btnStart = MainButton("Start", 25, m_page1);
  connect(m_btnStart, &QPushButton::clicked, this, &DRUI::btnSlot);
  m_checkAll = new CTwoStateCheckBox(" Recover All", m_page1);
  m_checkAll->setFont(QFont(ui::kFontFamily, 18, QFont::Bold));
  m_checkAll->setTristate(true);
  m_checkAll->setCheckState(Qt::Checked);
  connect(m_checkAll, &QCheckBox::stateChanged, this, &DRUI::CheckBoxAllStatChange);
  bottom->addWidget(m_checkAll);
  bottom->addSpacing(40);
  bottom->addWidget(m_btnStart);
  bottom->addStretch(1);
  layout->addLayout(bottom);
  layout->addStretch(1);
}

void DRUI::InitLayout2Widget() {
  m_page2 = BuildPage(":/image/scan_files.png",
                      "Select Media For Recovery\nPlease select a storage device below to scan for photos, audios, "
                      "videos.");
  auto* layout = static_cast<QVBoxLayout*>(m_page2->layout());
  m_diskTree = new QTreeWidget(m_page2);
  m_diskTree->setStyleSheet(ui::kTreeItemStyle);
  m_diskTree->setColumnCount(2);
  m_diskTree->setHeaderLabels({"Name", "Size"});
  m_diskTree->setColumnWidth(0, kNameColumnWidth);
  m_diskTree->setColumnWidth(1, kSizeColumnWidth);
  connect(m_diskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
  connect(m_diskTree, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { diskItemClick(item, 0); });
  connect(m_diskTree, &QTreeWidget::itemDoubleClicked, this, &DRUI::diskItemDoubleClick);
  auto* treeLayout = new QHBoxLayout;
  treeLayout->setContentsMargins(20, 10, 20, 10);
  treeLayout->addWidget(m_diskTree);
  layout->addLayout(treeLayout, 1);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(20, 0, 20, 20);
  auto* back = MainButton("Back", 18, m_page2);
  connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
  auto* refresh = MainButton("Refresh", 18, m_page2);
  connect(refresh, &QPushButton::clicked, this, &DRUI::RefreshDevices);
  m_btnScan = MainButton("Scan", 18, m_page2);
  connect(m_btnScan, &QPushButton::clicked, this, &DRUI::btnSlotScan);
  buttons->addWidget(back);
  buttons->addStretch(1);
  buttons->addWidget(refresh);
  buttons->addWidget(m_btnScan);
  layout->addLayout(buttons);
  CreateDiskTree();
}

void DRUI::CreateDiskTree() {
  m_diskTree->clear();
  PartitionMap table;
  CPartitionManager manager;
  manager.GetPartitionItems(table);
  const std::vector<std::string> paths = GetDiskPaths();
  int counter = 1;
  QTreeWidgetItem* last = nullptr;
  for (const auto& [disk, items] : table) {
    if (items.empty()) continue;
    const std::string path =
        disk >= 0 && static_cast<size_t>(disk) < paths.size() ? paths[static_cast<size_t>(disk)] : "";
    QString title = QString("Physical Driver %1").arg(counter++);
    const std::string model = GetDiskModel(path);
    if (!model.empty()) title += "  " + QString::fromStdString(model);
    auto* top = new QTreeWidgetItem(m_diskTree, {title});
    top->setIcon(0, QIcon(":/image/physical_drive.png"));
    top->setFont(0, QFont(ui::kFontFamily));
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      const int64_t bytes = GetDeviceSize(fd);
      ::close(fd);
      if (bytes > 0) top->setText(1, QString::fromStdString(GetFileSizeString(bytes)));
    }
    for (const _PARTITION_ITEM_& item : items) {
      const std::string size = GetFileSizeString(static_cast<long long>(PartitionSectorCount(item) * 512));
      auto* row =
          new QTreeWidgetItem(top, {QString::fromStdString(PartitionNameUtf8(item)), QString::fromStdString(size)});
      row->setIcon(0, QIcon(":/image/drive.png"));
      row->setData(0, kPartitionDataRole, QVariant::fromValue(item));
      row->setData(0, kDiskPathRole, QString::fromStdString(path));
      DebugPrint("(*iterVec).szDiskName = %s u64Bytes = %s\n", item.szDiskName, size.c_str());
      last = row;
    }
  }
  m_diskTree->expandAll();
  if (last != nullptr) m_diskTree->setCurrentItem(last);
  diskItemClick(m_diskTree->currentItem(), 0);
}

void DRUI::RefreshDevices() { CreateDiskTree(); }

void DRUI::diskItemClick(QTreeWidgetItem* item, int) {
  SetMainButtonEnabled(m_btnScan, item != nullptr && item->childCount() == 0 &&
                                      item->data(0, kPartitionDataRole).canConvert<_PARTITION_ITEM_>());
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* item, int) {
  if (item == nullptr || item->childCount() != 0 || !item->data(0, kPartitionDataRole).isValid()) return;
  m_diskTree->setCurrentItem(item);
  btnSlotScan();
}

void DRUI::btnSlot() {
  if (m_stack->currentWidget() == m_page1) m_stack->setCurrentWidget(m_page2);
}

void DRUI::btnSlotBack() {
  m_stack->setCurrentWidget(m_stack->currentWidget() == m_page3 ? m_page2 : m_page1);
  ReleaseEngine();
  ClearSelection();
}

void DRUI::ReleaseEngine() { m_engine.reset(); }

void DRUI::CheckBoxStatChange(int) {
  if (m_updatingCategories) return;
  int checked = 0;
  for (Category c : {kPhoto, kMusic, kVideo}) checked += m_categoryBoxes[c]->isChecked() ? 1 : 0;
  m_updatingCategories = true;
  m_mixedState = checked != 0 && checked != 3;
  m_checkAll->setCheckState(checked == 3 ? Qt::Checked : checked == 0 ? Qt::Unchecked : Qt::PartiallyChecked);
  m_updatingCategories = false;
  SetMainButtonEnabled(m_btnStart, checked != 0);
}

void DRUI::CheckBoxAllStatChange(int state) {
  if (m_updatingCategories) return;
  // Only a click reaches here (the program's own changes are fenced off): two states.
  const bool check = state != Qt::Unchecked;
  m_updatingCategories = true;
  for (Category c : {kPhoto, kMusic, kVideo}) m_categoryBoxes[c]->setChecked(check);
  m_mixedState = false;
  m_updatingCategories = false;
  SetMainButtonEnabled(m_btnStart, check);
}

QString DRUI::HelpPageUrl(const char* anchor) const {
  const QString dir = QCoreApplication::applicationDirPath();
  for (const QString& candidate : {dir + "/help/index.html", dir + "/../share/vorlenta/help/index.html"}) {
    if (QFileInfo::exists(candidate)) {
      QUrl url = QUrl::fromLocalFile(QFileInfo(candidate).canonicalFilePath());
      url.setFragment(anchor);
      return url.toString();
    }
  }
  return QString();
}

void DRUI::btnAboutSlot() { OpenAsUser(QUrl(HelpPageUrl("about"))); }
void DRUI::btnSupportSlot() { OpenAsUser(QUrl(HelpPageUrl("support"))); }
void DRUI::btnHelpSlot() { OpenAsUser(QUrl(HelpPageUrl("help"))); }
void DRUI::btnCloseSlot() { close(); }
void DRUI::btnMinSlot() { showMinimized(); }

void DRUI::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) return;
  QWidget::keyPressEvent(event);
}

QString DRUI::InvokingUserHome() const {
  uid_t uid;
  gid_t gid;
  if (GetInvokingUser(uid, gid)) {
    if (const passwd* pw = ::getpwuid(uid); pw != nullptr && pw->pw_dir != nullptr)
      return QString::fromUtf8(pw->pw_dir);
  }
  return QDir::homePath();
}

void DRUI::OpenAsUser(const QUrl& url) {
  if (!url.isValid() || url.isEmpty()) return;
  uid_t uid;
  gid_t gid;
  if (!GetInvokingUser(uid, gid)) {
    QDesktopServices::openUrl(url);
    return;
  }
  // A browser or file manager must not run as root: hand the URL to xdg-open as the user.
  const passwd* pw = ::getpwuid(uid);
  if (pw == nullptr) return;
  const std::string text = url.toString().toStdString();
  const std::string name = pw->pw_name, home = pw->pw_dir;
  const gid_t group = pw->pw_gid;
  const pid_t child = ::fork();
  if (child == 0) {
    // The grandchild is adopted by init, so nobody has to wait for the browser.
    if (::fork() != 0) _exit(0);
    if (::setgid(group) != 0 || ::initgroups(name.c_str(), group) != 0 || ::setuid(uid) != 0) _exit(126);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("USER", name.c_str(), 1);
    ::execlp("xdg-open", "xdg-open", text.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child > 0) ::waitpid(child, nullptr, 0);
}

void DRUI::ShowNotice(const QString& text) {
  CMessageBox notice(this);
  notice.InitNoticeDialog(text);
  notice.setGeometry(geometry().x() + width() / 3, geometry().y() + height() / 3, 400, 150);
  notice.exec();
}
