#include "support/fat_image.h"

#include "engine/log_file_manager.h"
#include "support/test_support.h"
#include "util/text.h"

namespace vorlenta::test {

bool MakeFatVolume(const std::string& image, unsigned kilobytes, const std::string& options, unsigned offsetSectors) {
  const unsigned long long totalBytes = static_cast<unsigned long long>(kilobytes) * 1024 + offsetSectors * 512ull;
  std::string command =
      "truncate -s " + std::to_string(totalBytes) + " " + ShellQuote(image) + " && mkfs.fat " + options + " ";
  if (offsetSectors != 0) command += "--offset " + std::to_string(offsetSectors) + " ";
  command += ShellQuote(image) + " " + std::to_string(kilobytes) + " >/dev/null 2>&1";
  return RunCommand(command) == 0;
}

bool Mtools(const std::string& image, const std::string& command, const std::string& args, unsigned offsetSectors) {
  // C.UTF-8 lets mtools store non-ASCII names as long names.
  std::string drive = image;
  if (offsetSectors != 0) drive += "@@" + std::to_string(static_cast<unsigned long long>(offsetSectors) * 512);
  return RunCommand("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + command + " -i " + ShellQuote(drive) + " " + args +
                    " >/dev/null 2>&1") == 0;
}

bool PutFile(const std::string& image, const std::string& source, const std::string& target, unsigned offsetSectors) {
  return Mtools(image, "mcopy", ShellQuote(source) + " " + ShellQuote(target), offsetSectors);
}

bool MakeCameraCard(const std::string& folder, const std::string& image, std::map<std::string, std::string>& deleted) {
  const std::string photo = folder + "/photo.jpg";
  const std::string data = folder + "/data.bin";
  WriteFileBytes(data, RandomBytes(70000, 16));
  bool ok = RunCommand("convert -size 300x200 plasma:fractal " + ShellQuote(photo)) == 0 &&
            MakeFatVolume(image, 64 * 1024, "-F 32 -s 1") &&
            Mtools(image, "mmd", "::/DCIM ::/DCIM/100CANON ::/DCIM/100_PANA ::/DCIM/101_PANA ::/DCIM/102_PANA");
  // Upper case, or lower case as the writer asked (dsc00005.jpg keeps its case flags).
  const std::vector<std::pair<std::string, std::string>> files = {{"DCIM/100CANON/IMG_0001.JPG", photo},
                                                                  {"DCIM/100CANON/IMG_0010.JPG", photo},
                                                                  {"DCIM/100CANON/MVI_0117.MOV", data},
                                                                  {"DCIM/100CANON/MVI_0025.MOV", data},
                                                                  {"DCIM/100CANON/dsc00005.jpg", photo},
                                                                  {"DCIM/100CANON/QRST0001.BIN", data},
                                                                  {"DCIM/100CANON/XYZ_0001.DAT", data},
                                                                  {"DCIM/100CANON/XYZ_0002.DAT", data},
                                                                  {"DCIM/100_PANA/P1000001.JPG", photo},
                                                                  {"DCIM/101_PANA/P1010003.JPG", photo},
                                                                  {"DCIM/101_PANA/P1010004.MP4", data},
                                                                  {"DCIM/102_PANA/P1020005.JPG", photo},
                                                                  {"ABC_0001.TXT", data},
                                                                  {"XBC_0002.TXT", data},
                                                                  {"ABC_0003.TXT", data},
                                                                  {"WYZ_0001.DAT", data}};
  for (const auto& [path, source] : files) ok = ok && PutFile(image, source, "::/" + path);
  const std::string empty = folder + "/empty";
  WriteFileBytes(empty, {});
  ok = ok && Mtools(image, "mdeltree", "::/DCIM/102_PANA") && PutFile(image, empty, "::/DCIM/NOTE.TXT") &&
       Mtools(image, "mdeltree", "::/DCIM/101_PANA");
  for (const char* path : {"DCIM/100CANON/IMG_0010.JPG", "DCIM/100CANON/MVI_0025.MOV", "DCIM/100CANON/dsc00005.jpg",
                           "DCIM/100CANON/QRST0001.BIN", "DCIM/100CANON/XYZ_0002.DAT", "ABC_0003.TXT"}) {
    ok = ok && Mtools(image, "mdel", "::/" + std::string(path));
  }
  deleted = {{"DCIM/100CANON/IMG_0010.JPG", photo},
             {"DCIM/100CANON/MVI_0025.MOV", data},
             {"DCIM/100CANON/dsc00005.jpg", photo},
             {"DCIM/100CANON/!RST0001.BIN", data},
             {"DCIM/100CANON/XYZ_0002.DAT", data},
             {"DCIM/101_PANA/P1010003.JPG", photo},
             {"DCIM/101_PANA/P1010004.MP4", data},
             {"!BC_0003.TXT", data},
             {"P1020005.JPG", photo}};
  return ok;
}

void FatEngineTest::SetUp() {
  for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mdeltree", "mmd", "convert"}) VORLENTA_REQUIRE_TOOL(tool);
  support_ = std::make_unique<ScopedEnv>("VORLENTA_SUPPORT_DIR", dir_ / "support");
  CLogFileManager::GetInstance().Init();
  CLogFileManager::GetInstance().AddDirIndex();
}

std::string FatEngineTest::MakeFile(const std::string& name, size_t size, uint64_t seed) {
  return RandomFile(dir_ / name, size, seed);
}

std::string FatEngineTest::Save(IFileRecoveryParse& engine, _FILE_NODE_ node) {
  const std::string target = dir_ / ("out-" + std::to_string(++saved_));
  EXPECT_EQ(engine.SaveFileData(&node, Utf8ToUtf16(target.c_str()).c_str(), 0), 0) << node.FileName;
  return target;
}

void FatEngineTest::ExpectRecovered(IFileRecoveryParse& engine, const std::map<std::string, _FILE_NODE_>& found,
                                    const std::map<std::string, std::string>& expected, bool exact) {
  if (exact) {
    EXPECT_EQ(found.size(), expected.size());
  }
  for (const auto& [path, original] : expected) {
    ASSERT_TRUE(found.count(path)) << path;
    EXPECT_EQ(Sha256OfFile(Save(engine, found.at(path))), Sha256OfFile(original)) << path;
  }
}

}  // namespace vorlenta::test
