// The main window: category page, device page and result page, the engine of the current scan,
// and the bridge from engine callbacks on the worker thread to the progress dialog.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableWidget>
#include <QTreeWidget>
#include <QUrl>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/my_thread.h"
#include "device/partition_manager.h"
#include "engine/file_node.h"
#include "engine/recovery_driver.h"
#include "engine/recovery_parse.h"
#include "ui/frameless.h"
#include "ui/style.h"

Q_DECLARE_METATYPE(vorlenta::_PARTITION_ITEM_)

// A category box the user toggles between checked and unchecked only; the mixed state is set
// by the program when the three category boxes disagree.
class CTwoStateCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};

class DRUI : public QWidget {
  Q_OBJECT
 public:
  enum Operation { kOpScan = 1, kOpSearch = 2, kOpPreview = 3, kOpRecovery = 4 };
  // Result categories in page order.
  enum Category { kPhoto, kMusic, kOffice, kVideo, kArchive, kOther, kCategoryCount };
  // Who answers the folder chooser: (parent, start folder) -> folder, or a null string.
  using FolderChooser = std::function<QString(QWidget*, const QString&)>;
  // Selected files: by engine, record and directory, so two engines' records never collide.
  using SelectionKey = std::tuple<uint32_t, uint32_t, uint32_t>;

  explicit DRUI(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
  ~DRUI() override;
  void Init();

  void SetFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }
  std::atomic<bool>& StopFlag(int op) { return m_flags[Index(op)].stop; }
  std::atomic<bool>& DoneFlag(int op) { return m_flags[Index(op)].done; }
  QString PreviewFileName() const;
  // Opens a folder or page as the user who started the program, never as root.
  void OpenAsUser(const QUrl& url);

  // Engine callbacks (context = the window), turned into the signals below.
  static int ScanCallBack(void* ctx, int percent, int weight, int secondsLeft, unsigned long long current,
                          unsigned long long total, unsigned long long found, const char16_t* text);
  static int RecoveryCallBack(void* ctx, int percent, int phase, int failed, const char16_t* name);
  static int SearchCallBack(void* ctx, int percent, const char16_t* text);
  static int PreViewCallBack(void* ctx, int percent, int detail);
  // Thread functions (context = the window).
  static void _ScanProcess(void* ctx, int& status);
  static void _SearchProcess(void* ctx, int& status);
  static void _PreviewProcess(void* ctx, int& status);
  static void _RecoveryProcess(void* ctx, int& status);

  int Scan(const char16_t* name, int& status);
  void PreviewProcess();
  void RecoveryProcess();
  void WinHexBufData(vorlenta::_FILE_NODE_* node, unsigned char* buffer, int size);
  static int CategoryOfExtension(const std::string& lowerExtension);
  static QString GetExtendNameIcon(const QString& ext);

 signals:
  void ScanProcessCallBack(int, int, int, QString, QString, QString, QString);
  void RecoveryCallBack(int, int, int, QString);
  void SearchCallBack(int, QString);
  void PreViewCallBackForSlot(int, int);
  void RecoveredFile(QString path, int failed, QString reason);

 public slots:
  void btnSlot();
  void btnSlotBack();
  void btnSlotScan();
  void diskItemDoubleClick(QTreeWidgetItem* item, int column);
  void diskItemClick(QTreeWidgetItem* item, int column);
  void CheckBoxStatChange(int state);
  void CheckBoxAllStatChange(int state);
  void btnAboutSlot();
  void btnSupportSlot();
  void btnHelpSlot();
  void btnCloseSlot();
  void btnMinSlot();
  void btnRecovery();
  void RefreshDevices();
  void treeItemSelectChanged();
  void treeItemClick(QTreeWidgetItem* item, int column);
  void treeItemChanged(QTreeWidgetItem* item, int column);
  void tableItemChanged(QTableWidgetItem* item);
  void tableItemSelectChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  friend class DruiTest;
  friend struct DruiBench;
  struct OperationFlags {
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
  };
  static size_t Index(int op) { return static_cast<size_t>(op >= kOpScan && op <= kOpRecovery ? op - 1 : 0); }

  // Pages.
  QWidget* BuildPage(const QString& iconPath, const QString& prompt, QLabel** promptLabel = nullptr);
  void InitLayout1Widget();
  void InitLayout2Widget();
  void InitLayout3Widget();
  void CreateDiskTree();
  void CreateTree();
  void CreateTable();
  QPushButton* CreateButton(int index, int position, QWidget* parent);
  QPushButton* MainButton(const QString& text, int points, QWidget* parent);
  static void SetMainButtonEnabled(QPushButton* button, bool enabled);
  void ShowNotice(const QString& text);

  // Operations.
  int RunOperation(int op, CMyThread::Function function, const QString& saveDir = QString());
  bool ThrottleReport(bool final);
  void ShowPreview();
  QString InvokingUserHome() const;
  QString HelpPageUrl(const char* anchor) const;
  void ReleaseEngine();
  vorlenta::CategorySelection CheckedCategories() const;

  // Result page.
  void UpdateTreeInfo(QTreeWidgetItem* item, int column);
  void SetTreeChildCheckState(QTreeWidgetItem* item, Qt::CheckState state);
  void SetTreeParentCheckState(QTreeWidgetItem* item);
  void ApplyGroupCheck(QTreeWidgetItem* item);
  void UpdateSummary();
  void ClearSelection();
  std::vector<size_t> FilesOfItem(QTreeWidgetItem* item) const;
  static SelectionKey KeyOf(const vorlenta::_FILE_NODE_& node);

  std::array<OperationFlags, 4> m_flags;
  std::atomic<long long> m_lastReportMs{0};
  std::unique_ptr<vorlenta::IFileRecoveryParse> m_engine;
  vorlenta::_PARTITION_ITEM_ m_partitionItem{};
  std::string m_sourcePath;
  // Built on the window thread from the category boxes before the scan starts.
  std::u16string m_searchKey;
  int m_operationStatus = 0;
  QString m_operationError;
  std::vector<vorlenta::__SEARCH_FILE_INFO__> m_searchResults;
  // Per category: lower-case extension -> indexes into m_searchResults.
  std::array<std::map<std::string, std::vector<size_t>>, kCategoryCount> m_categoryMaps;
  std::array<size_t, kCategoryCount> m_categoryCounts{};
  std::map<SelectionKey, vorlenta::_FILE_NODE_> m_selection;
  int m_nSelectCount = 0;
  QTreeWidgetItem* m_lastClickedItem = nullptr;
  bool m_updatingChecks = false;
  bool m_updatingCategories = false;
  bool m_mixedState = false;

  vorlenta::_FILE_NODE_ m_previewNode{};
  int m_nPreviewSize = vorlenta::kPreviewBufferBytes;
  std::vector<unsigned char> m_previewBuffer;
  std::vector<char> m_previewText;
  std::u16string m_previewTempPath;
  QString m_saveDir;
  FolderChooser m_chooseFolder;

  QStackedLayout* m_stack = nullptr;
  QWidget* m_page1 = nullptr;
  QWidget* m_page2 = nullptr;
  QWidget* m_page3 = nullptr;
  CTwoStateCheckBox* m_checkAll = nullptr;
  // Photo, Music, Office, Video, Archive, Other.
  std::array<QCheckBox*, kCategoryCount> m_categoryBoxes{};
  QPushButton* m_btnStart = nullptr;
  QPushButton* m_btnScan = nullptr;
  QPushButton* m_btnRecover = nullptr;
  QTreeWidget* m_diskTree = nullptr;
  QTreeWidget* m_resultTree = nullptr;
  QTableWidget* m_table = nullptr;
  QLabel* m_preview = nullptr;
  QLabel* m_summary = nullptr;
  QLabel* m_resultPrompt = nullptr;
  VORLENTA_FRAMELESS_MOUSE()
};
