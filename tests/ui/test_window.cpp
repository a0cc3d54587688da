// The window end to end on card images made by mkfs.fat and mtools, presented as disks.
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "support/fat_image.h"
#include "support/test_support.h"
#include "ui/drui.h"
#include "ui/scanui.h"
#include "util/text.h"

using namespace vorlenta;
using test::ShellQuote;

class DruiTest : public QObject {
  Q_OBJECT

 private:
  // Runs `step` on the event loop every few milliseconds until it returns true: modal dialogs
  // are answered from there.
  static void Whenever(std::function<bool()> step) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
      if (step()) timer->deleteLater();
    });
    timer->start();
  }
  template <class Dialog>
  static Dialog* Modal() {
    return qobject_cast<Dialog*>(QApplication::activeModalWidget());
  }
  // Answers the next question dialog with Yes or No.
  static void Answer(bool yes, int* asked) {
    Whenever([yes, asked] {
      CMessageBox* box = Modal<CMessageBox>();
      if (box == nullptr || box->NoButton() == nullptr) return false;
      ++*asked;
      (yes ? box->YesButton() : box->NoButton())->click();
      return true;
    });
  }
  QTreeWidgetItem* ResultGroup(const QString& key) {
    for (QTreeWidgetItem* item : w->m_resultTree->findItems(key + " Files", Qt::MatchStartsWith | Qt::MatchRecursive)) {
      return item;
    }
    return nullptr;
  }
  void ScanCard() {
    w->m_categoryBoxes[DRUI::kOffice]->setChecked(true);
    w->m_diskTree->setCurrentItem(w->m_diskTree->topLevelItem(0)->child(0));
    w->btnSlotScan();
  }
  // Recovers the current selection into `dest` and returns the detail list's rows.
  QStringList Recover(const std::string& dest) {
    w->SetFolderChooser([dest](QWidget*, const QString&) { return QString::fromStdString(dest); });
    QStringList rows;
    Whenever([&rows] {
      SCANUI* dialog = Modal<SCANUI>();
      if (dialog == nullptr || dialog->CancelButton()->text() != "Finished") return false;
      QTableWidget* table = dialog->Detail().Table();
      for (int r = 0; r < table->rowCount(); ++r) rows << table->item(r, 1)->text();
      dialog->CancelButton()->click();
      return true;
    });
    w->btnRecovery();
    return rows;
  }

  test::TempDir dir;
  std::unique_ptr<test::ScopedEnv> diskDir, supportDir;
  std::unique_ptr<DRUI> w;
  std::string jpegA, jpegB;

 private slots:
  void initTestCase() {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "convert"}) QVERIFY(test::HaveTool(tool));
    const std::string card = dir / "card.img";
    QVERIFY(test::MakeFatVolume(card, 16 * 1024, "-F 16"));
    QVERIFY(test::MakeFatVolume(dir / "stick.img", 4 * 1024, "-F 12"));
    jpegA = test::JpegFile(dir / "a.jpg");
    jpegB = test::JpegFile(dir / "b.jpg", "900x300");
    test::WriteFileBytes(dir / "notes.txt", std::vector<uint8_t>{'b', 'u', 'y', ' ', 'm', 'i', 'l', 'k', '\n'});
    QVERIFY(test::Mtools(card, "mmd", "::/DCIM"));
    QVERIFY(test::PutFile(card, jpegA, "::/DCIM/Beach day.jpg"));
    QVERIFY(test::PutFile(card, jpegB, "::/DCIM/Sunset at sea.jpg"));
    QVERIFY(test::PutFile(card, dir / "notes.txt", "::/Shopping notes.txt"));
    QVERIFY(test::Mtools(card, "mdel", "'::/DCIM/Beach day.jpg' '::/DCIM/Sunset at sea.jpg' '::/Shopping notes.txt'"));
    // Disk numbers 0 and 3: the tree counts its drives, it does not show their numbers.
    test::RunCommand("mkdir " + ShellQuote(dir / "disks") + " && ln -s " + ShellQuote(card) + " " +
                     ShellQuote(dir / "disks/disk0") + " && ln -s " + ShellQuote(dir / "stick.img") + " " +
                     ShellQuote(dir / "disks/disk3"));
    diskDir = std::make_unique<test::ScopedEnv>("VORLENTA_DISK_DIR", dir / "disks");
    supportDir = std::make_unique<test::ScopedEnv>("VORLENTA_SUPPORT_DIR", dir / "support");
    // A support folder every user may write: root narrows it before using it.
    QCOMPARE(::mkdir((dir / "support").c_str(), 0777), 0);
    QCOMPARE(::chmod((dir / "support").c_str(), 0777), 0);
    inner_initUnicodeMap("UTF-8");
  }

  void init() {
    w = std::make_unique<DRUI>();
    w->Init();
    w->show();
  }
  void cleanup() { w.reset(); }

  void categoryBoxesFollowTheTilesAndGateStart() {
    QCOMPARE(w->m_checkAll->checkState(), Qt::Checked);
    struct stat st;
    QCOMPARE(::stat((dir / "support").c_str(), &st), 0);
    QCOMPARE(st.st_mode & 07777, ::geteuid() == 0 ? 0755u : 0777u);
    // The tiles off one by one: Recover All goes mixed, then off, and Start with it.
    for (int tile : {DRUI::kPhoto, DRUI::kMusic, DRUI::kVideo}) {
      QCheckBox* box = w->m_categoryBoxes[tile];
      QCOMPARE(w->m_checkAll->checkState(), tile == DRUI::kPhoto ? Qt::Checked : Qt::PartiallyChecked);
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    QCOMPARE(w->m_checkAll->checkState(), Qt::Unchecked);
    QVERIFY(!w->m_btnStart->isEnabled());
    // A click on Recover All is two-state: from mixed it goes to checked, never to mixed.
    QCheckBox* photo = w->m_categoryBoxes[DRUI::kPhoto];
    QTest::mouseClick(photo, Qt::LeftButton, {}, QPoint(6, photo->height() / 2));
    QCOMPARE(w->m_checkAll->checkState(), Qt::PartiallyChecked);
    w->m_checkAll->click();
    QCOMPARE(w->m_checkAll->checkState(), Qt::Checked);
    QVERIFY(w->m_categoryBoxes[DRUI::kVideo]->isChecked());
    w->m_btnStart->click();
    QCOMPARE(w->m_stack->currentWidget(), w->m_page2);
    // A right click on a label of the window does not close it.
    QLabel* label = w->m_page2->findChild<QLabel*>();
    QTest::mouseClick(label, Qt::RightButton);
    QVERIFY(w->isVisible());
  }

  void deviceTreeListsBothImagesAndScansOnlyPartitions() {
    QTreeWidget* tree = w->m_diskTree;
    QCOMPARE(tree->topLevelItemCount(), 2);
    tree->setCurrentItem(tree->topLevelItem(1));
    QVERIFY(!w->m_btnScan->isEnabled());
    w->diskItemDoubleClick(tree->topLevelItem(1), 0);
    w->btnSlotScan();
    QVERIFY(w->m_page3 == nullptr);
    tree->setCurrentItem(tree->topLevelItem(1)->child(0));
    QVERIFY(w->m_btnScan->isEnabled());
    // The stick is unplugged after the list was made: its row no longer scans another disk.
    const std::string link = dir / "disks/disk3";
    QCOMPARE(::rename(link.c_str(), (dir / "disk3.away").c_str()), 0);
    QString notice;
    Whenever([&notice] {
      CMessageBox* box = Modal<CMessageBox>();
      if (box == nullptr) return false;
      notice = box->Text();
      box->YesButton()->click();
      return true;
    });
    w->btnSlotScan();
    QCOMPARE(::rename((dir / "disk3.away").c_str(), link.c_str()), 0);
    QVERIFY(notice.contains("no longer there"));
    QVERIFY(w->m_page3 == nullptr);
  }

  void scanCheckPreviewRecoverByHashAndListFailuresFirst() {
    ScanCard();
    QCOMPARE(w->m_stack->currentWidget(), w->m_page3);
    QVERIFY(w->m_resultPrompt->text().contains("Found 3 recoverable files"));
    QVERIFY(!w->m_btnRecover->isEnabled());

    // The text file previews as bytes, the photo as a picture scaled into the pane.
    QTreeWidgetItem* txt = ResultGroup("txt");
    w->m_resultTree->setCurrentItem(txt);
    w->m_table->selectRow(0);
    QVERIFY(w->m_preview->text().startsWith("buy milk\n"));
    QTreeWidgetItem* jpg = ResultGroup("jpg");
    w->m_resultTree->setCurrentItem(jpg);
    QCOMPARE(w->m_table->rowCount(), 2);
    w->m_table->selectRow(1);
    QVERIFY(!w->m_preview->pixmap().isNull());
    QCOMPARE(w->m_preview->pixmap().width(), 600);

    // A row toggled with the keyboard is selected; the group follows its rows.
    w->m_table->setCurrentCell(0, 0);
    QTest::keyClick(w->m_table, Qt::Key_Space);
    QCOMPARE(w->m_summary->text().endsWith(" in 1 file"), true);
    QCOMPARE(jpg->checkState(0), Qt::PartiallyChecked);
    QCOMPARE(jpg->parent()->checkState(0), Qt::PartiallyChecked);
    jpg->setCheckState(0, Qt::Checked);
    QCOMPARE(jpg->parent()->checkState(0), Qt::Checked);
    QCOMPARE(w->m_summary->text().endsWith(" in 2 files"), true);

    const std::string dest = dir / "out";
    const QStringList rows = Recover(dest);
    QCOMPARE(rows, (QStringList{"Success", "Success"}));
    QCOMPARE(test::Sha256OfFile(dest + "/photo/Beach day.jpg"), test::Sha256OfFile(jpegA));
    QCOMPARE(test::Sha256OfFile(dest + "/photo/Sunset at sea.jpg"), test::Sha256OfFile(jpegB));

    // Everything selected, into a folder where a file stands in for the photo folder: the
    // detail list shows both photos failed, first, and the text file saved.
    w->m_resultTree->topLevelItem(0)->setCheckState(0, Qt::Checked);
    w->m_resultTree->setCurrentItem(ResultGroup("txt"));
    ResultGroup("txt")->setCheckState(0, Qt::Checked);
    QCOMPARE(w->m_table->item(0, 0)->checkState(), Qt::Checked);
    QCOMPARE(w->m_summary->text().endsWith(" in 3 files"), true);
    const std::string blocked = dir / "blocked";
    QCOMPARE(::mkdir(blocked.c_str(), 0755), 0);
    test::WriteFileBytes(blocked + "/photo", {});
    const QStringList detail = Recover(blocked);
    QCOMPARE(detail.size(), 3);
    QVERIFY(detail[0].startsWith("Failed: "));
    QVERIFY(detail[1].startsWith("Failed: "));
    QCOMPARE(detail[2], QString("Success"));
    QCOMPARE(test::Sha256OfFile(blocked + "/document/Shopping notes.txt"), test::Sha256OfFile(dir / "notes.txt"));

    // Back clears the selection and the engine.
    w->btnSlotBack();
    QVERIFY(w->m_selection.empty());
    QVERIFY(w->m_engine == nullptr);
  }

  void cancelAsksAndStopsWithoutBlocking() {
    // A card big enough that its deep scan outlasts the questions by far.
    const std::string big = dir / "big.img";
    QVERIFY(test::MakeFatVolume(big, 1024 * 1024, "-F 32"));
    const std::string link = dir / "disks/disk5";
    QCOMPARE(::symlink(big.c_str(), link.c_str()), 0);
    w->RefreshDevices();
    w->m_diskTree->setCurrentItem(w->m_diskTree->topLevelItem(2)->child(0));
    bool scanningAfterNo = false, sawStopping = false, cancelReturned = false;
    int asked = 0;
    Answer(false, &asked);
    Whenever([&] {
      SCANUI* dialog = Modal<SCANUI>();
      if (dialog == nullptr) return false;
      dialog->CancelButton()->click();
      cancelReturned = true;
      return true;
    });
    Whenever([&] {
      SCANUI* dialog = Modal<SCANUI>();
      if (dialog == nullptr || !cancelReturned) return false;
      scanningAfterNo = dialog->isVisible() && !w->DoneFlag(DRUI::kOpScan).load();
      Answer(true, &asked);
      // Escape asks too; after Yes the dialog stays, says so, and the event loop runs on.
      QTest::keyClick(dialog, Qt::Key_Escape);
      sawStopping = dialog->isVisible() && dialog->StatusLabel()->text().contains("Stopping");
      return true;
    });
    w->btnSlotScan();
    ::unlink(link.c_str());
    ::unlink(big.c_str());
    QVERIFY(scanningAfterNo);
    QVERIFY(sawStopping);
    QCOMPARE(asked, 2);
    QVERIFY(w->StopFlag(DRUI::kOpScan).load());
    // What a stopped scan found is still searched and shown.
    QCOMPARE(w->m_stack->currentWidget(), w->m_page3);
  }
};

QTEST_MAIN(DruiTest)
#include "test_window.moc"
