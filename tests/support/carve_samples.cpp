#include "support/carve_samples.h"

#include <algorithm>

#include "support/test_support.h"
#include "util/endian.h"

namespace vorlenta::test {

namespace {

#define FFMPEG "ffmpeg -nostdin -hide_banner -loglevel error -y "
#define CLIP FFMPEG "-f lavfi -i testsrc=size=160x120:rate=25 -t 2 "
#define GRADIENT "convert -size 64x48 gradient:red-blue "

struct Recipe {
  const char* label;
  const char* file;
  const char* command;  // run in the folder; makes `file`
  const char* extension;
  LengthRule rule;
};

// The order is the order of the test image: the camera picture is followed at once by the PNG.
const Recipe kRecipes[] = {
    {"camera JPEG, Exif first, with a thumbnail", "camera.jpg",
     "convert -seed 7 -size 900x700 plasma:fractal camera.jpg && convert camera.jpg -resize 160x120 thumb.jpg && "
     "exiftool -q -overwrite_original -JFIF:all= '-ThumbnailImage<=thumb.jpg' -Make=Canon '-Model=EOS 5D' camera.jpg",
     "jpg", LengthRule::kExact},
    {"PNG", "photo.png", "convert -seed 5 -size 200x150 plasma:fractal photo.png", "png", LengthRule::kExact},
    {"phone JPEG, JFIF then Exif with a thumbnail", "phone.jpg",
     "convert -seed 3 -size 640x480 plasma:fractal -quality 90 phone.jpg && "
     "exiftool -q -overwrite_original '-ThumbnailImage<=thumb.jpg' -Make=Apple '-Model=iPhone 12' phone.jpg",
     "jpg", LengthRule::kExact},
    {"GIF", "photo.gif", GRADIENT "photo.gif", "gif", LengthRule::kExact},
    {"BMP", "old.bmp", GRADIENT "BMP3:old.bmp", "bmp", LengthRule::kExact},
    {"TIFF", "photo.tif", GRADIENT "photo.tif", "tif", LengthRule::kBounded},
    {"Photoshop", "photo.psd", GRADIENT "photo.psd", "psd", LengthRule::kBounded},
    {"icon", "icon.ico", GRADIENT "-define icon:auto-resize=16,32,48 icon.ico", "ico", LengthRule::kExact},
    {"PDF", "doc.pdf", "printf '.TL\\nCarved\\n.PP\\nA page of text set by groff.\\n' | groff -ms -Tpdf > doc.pdf",
     "pdf", LengthRule::kExact},
    {"ZIP", "plain.zip", "zip -q -X plain.zip notes.txt", "zip", LengthRule::kExact},
    {"DOCX", "letter.docx", "zip -q -X letter.docx '[Content_Types].xml' word/document.xml", "docx",
     LengthRule::kExact},
    {"XLSX", "sheet.xlsx", "zip -q -X sheet.xlsx '[Content_Types].xml' xl/workbook.xml", "xlsx", LengthRule::kExact},
    {"PPTX", "talk.pptx", "zip -q -X talk.pptx '[Content_Types].xml' ppt/presentation.xml", "pptx", LengthRule::kExact},
    {"7z with a small packed header", "two.7z", "7z a -bd -y two.7z filler.bin notes.txt", "7z", LengthRule::kExact},
    {"7z with a larger packed header", "big.7z", "7z a -bd -y big.7z numbers.txt filler.bin notes.txt", "7z",
     LengthRule::kExact},
    {"gzip", "best.gz", "gzip -9 -c numbers.txt > best.gz", "gz", LengthRule::kBounded},
    {"SQLite", "data.db",
     "sqlite3 data.db 'create table t(x); insert into t values(randomblob(3000)); insert into t "
     "values(randomblob(9000));'",
     "db", LengthRule::kBounded},
    {"MP3 with ID3v2 and ID3v1 tags", "tone.mp3",
     FFMPEG "-f lavfi -i sine=frequency=440:duration=2 -c:a libmp3lame -id3v2_version 3 -write_id3v1 1 "
            "-metadata title=Tone -metadata artist=Vorlenta tone.mp3",
     "mp3", LengthRule::kId3v1Tail},
    {"WAVE", "tone.wav", "sox -n -r 8000 -c 1 tone.wav synth 0.5 sine 440", "wav", LengthRule::kExact},
    {"AVI", "clip.avi", CLIP "-c:v mpeg4 clip.avi", "avi", LengthRule::kExact},
    {"MP4", "clip.mp4", CLIP "-c:v mpeg4 clip.mp4", "mp4", LengthRule::kBounded},
    {"QuickTime", "clip.mov", CLIP "-c:v mpeg4 clip.mov", "mov", LengthRule::kBounded},
    {"3GPP", "clip.3gp", CLIP "-c:v mpeg4 clip.3gp", "3gp", LengthRule::kBounded},
    {"MPEG program stream", "clip.mpg", CLIP "-c:v mpeg1video -f mpeg clip.mpg", "mpeg", LengthRule::kBounded},
    {"MPEG transport stream", "clip.ts", CLIP "-f mpegts clip.ts", "ts", LengthRule::kExact},
    {"Matroska", "clip.mkv", CLIP "clip.mkv", "mkv", LengthRule::kBounded},
    {"Flash video", "clip.flv", CLIP "clip.flv", "flv", LengthRule::kBounded},
    {"ASF", "clip.wmv", CLIP "-f asf clip.wmv", "wmv", LengthRule::kExact},
    {"MXF", "clip.mxf", CLIP "-c:v mpeg2video -f mxf clip.mxf", "mxf", LengthRule::kBounded},
    {"RealMedia", "tone.rm", FFMPEG "-f lavfi -i sine=frequency=440:duration=1 -c:a ac3 -f rm tone.rm", "rmvb",
     LengthRule::kBounded},
    {"TrueType", "relaid.ttf", "", "ttf", LengthRule::kExact},
};

constexpr const char* kTools[] = {"convert", "exiftool", "ffmpeg", "sox", "zip", "7z", "gzip", "sqlite3", "groff"};
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

}  // namespace

std::vector<uint8_t> RelayFontHeadFirst(const std::vector<uint8_t>& font) {
  const size_t n = font.size();
  const size_t tables = ReadU16BE(font.data(), n, 4);
  struct Table {
    std::string tag;
    size_t recordOffset;
    uint32_t offset;
    uint32_t length;
  };
  std::vector<Table> list;
  for (size_t i = 0; i < tables && 12 + 16 * i + 16 <= n; ++i) {
    const size_t r = 12 + 16 * i;
    list.push_back({std::string(reinterpret_cast<const char*>(&font[r]), 4), r, ReadU32BE(font.data(), n, r + 8),
                    ReadU32BE(font.data(), n, r + 12)});
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const Table& a, const Table& b) { return a.tag == "head" && b.tag != "head"; });
  std::vector<uint8_t> out(font.begin(), font.begin() + static_cast<long>(std::min(n, 12 + 16 * tables)));
  for (const Table& t : list) {
    if (static_cast<size_t>(t.offset) + t.length > n) continue;
    while (out.size() % 4 != 0) out.push_back(0);
    WriteU32BE(out.data(), t.recordOffset + 8, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), font.begin() + t.offset, font.begin() + t.offset + t.length);
  }
  return out;
}

std::string MakeCarveSamples(const std::string& folder, std::vector<CarveSample>& out) {
  std::string error;
  for (const char* tool : kTools) {
    if (!HaveTool(tool)) error += std::string("missing tool ") + tool + " (run scripts/install-deps.sh); ";
  }
  if (!error.empty()) return error;
  const auto path = [&](const std::string& name) { return folder + "/" + name; };
  WriteFileBytes(path("notes.txt"), std::vector<uint8_t>(2000, 'n'));
  WriteFileBytes(path("filler.bin"), RandomBytes(3000, 3));
  WriteFileBytes(path("[Content_Types].xml"), std::vector<uint8_t>(300, 'c'));
  std::string numbers;
  for (int i = 1; i <= 20000; ++i) numbers += std::to_string(i) + "\n";
  WriteFileBytes(path("numbers.txt"), std::vector<uint8_t>(numbers.begin(), numbers.end()));
  RunCommand("mkdir -p " + ShellQuote(path("word")) + " " + ShellQuote(path("xl")) + " " + ShellQuote(path("ppt")));
  for (const char* member : {"word/document.xml", "xl/workbook.xml", "ppt/presentation.xml"}) {
    WriteFileBytes(path(member), RandomBytes(1500, 11));
  }
  WriteFileBytes(path("relaid.ttf"), RelayFontHeadFirst(ReadFileBytes(kFont)));

  for (const Recipe& r : kRecipes) {
    if (*r.command != '\0' && RunCommand("cd " + ShellQuote(folder) + " && (" + r.command + ") >/dev/null 2>&1") != 0) {
      error += std::string("cannot make ") + r.file + "; ";
      continue;
    }
    if (ReadFileBytes(path(r.file), 1).empty()) {
      error += std::string("no ") + r.file + "; ";
      continue;
    }
    out.push_back({r.label, path(r.file), r.extension, r.rule});
  }
  return error;
}

}  // namespace vorlenta::test
