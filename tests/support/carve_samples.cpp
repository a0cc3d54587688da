#include "support/carve_samples.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "format/file_type_judge.h"
#include "support/fat_image.h"
#include "util/endian.h"

namespace vorlenta::test {

namespace {

using Bytes = std::vector<uint8_t>;

#define OTF_FONT "/usr/share/fonts/opentype/urw-base35/C059-Bold.otf"
#define TTF_FONT "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#define HEAD_FIRST_FONT "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf"

#define FFMPEG "ffmpeg -nostdin -hide_banner -loglevel error -y "
#define CLIP FFMPEG "-f lavfi -i testsrc=size=160x120:rate=25 -t 2 "
#define TONE FFMPEG "-f lavfi -i sine=frequency=440:duration=1 "
#define GRADIENT "convert -size 64x48 gradient:red-blue "
#define PLASMA "convert -seed 5 -size 120x90 plasma:fractal "
#define ZIPPED(dir, mime, out) \
  "mkdir -p " dir " && cd " dir " && printf '" mime "' > mimetype && cp ../notes.txt content.xml && " \
  "zip -q -X -0 ../" out " mimetype && zip -q -X ../" out " content.xml"

struct Recipe {
  const char* file;
  const char* command;  // run in the folder; makes `file`; empty for the byte-built files
  const char* extension;
  LengthRule rule;
  std::vector<uint8_t> (*build)(const std::vector<uint8_t>& preview) = nullptr;  // byte-builds `file`
};

constexpr LengthRule kExact = LengthRule::kExact;
constexpr LengthRule kBounded = LengthRule::kBounded;
constexpr LengthRule kNotAFile = LengthRule::kNotAFile;


constexpr size_t kRawPreviewOffset = 1024;  // a sector boundary: the preview must not count as a file
constexpr size_t kRawDataBytes = 20000;

// Writes the `bytes` low bytes of `v` at `at`, in the file's byte order.
void Put(std::vector<uint8_t>& b, size_t at, uint32_t v, size_t bytes, bool big) {
  for (size_t i = 0; i < bytes; ++i) b[at + (big ? bytes - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
}

// A TIFF-shaped camera file: the first directory names the maker (and the DNG version) and
// points at a real JPEG preview on a sector boundary and at an Exif directory; the second
// points at the raw data, which ends the file.
std::vector<uint8_t> TiffRaw(const std::string& magic, const char* make, bool dng, const std::vector<uint8_t>& jpeg) {
  const bool big = magic[0] == 'M';
  const bool cr2 = magic == "CR2";
  std::vector<uint8_t> b(kRawPreviewOffset, 0);
  const std::string header = magic == "MM"      ? std::string("MM\0*", 4)
                             : magic.size() < 4 ? std::string("II*\0", 4)
                                                : magic;
  std::copy(header.begin(), header.end(), b.begin());
  if (cr2) b[8] = 'C', b[9] = 'R', b[10] = 2;
  const size_t ifd0 = cr2 ? 16 : 8;
  Put(b, 4, static_cast<uint32_t>(ifd0), 4, big);
  const uint16_t entries = dng ? 6 : 5;
  const size_t strings = ifd0 + 2 + 12 * entries + 4;
  const size_t exif = strings + 32;
  const size_t ifd1 = exif + 2 + 12 + 4 + 8;
  const size_t rawOffset = (kRawPreviewOffset + jpeg.size() + 511) / 512 * 512 + 100;
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  const uint32_t makeChars = static_cast<uint32_t>(std::string(make).size() + 1);
  std::vector<Entry> first = {{0x00FE, 4, 1, 0}, {0x010F, 2, makeChars, static_cast<uint32_t>(strings)},
                              {0x0111, 4, 1, kRawPreviewOffset}, {0x0117, 4, 1, static_cast<uint32_t>(jpeg.size())},
                              {0x8769, 4, 1, static_cast<uint32_t>(exif)}};
  if (dng) first.push_back({0xC612, 1, 4, big ? 0x01040000u : 0x00000401u});
  const auto write = [&](size_t at, const std::vector<Entry>& list, uint32_t next) {
    Put(b, at, static_cast<uint16_t>(list.size()), 2, big);
    for (size_t i = 0; i < list.size(); ++i) {
      const size_t e = at + 2 + 12 * i;
      Put(b, e, list[i].tag, 2, big);
      Put(b, e + 2, list[i].type, 2, big);
      Put(b, e + 4, list[i].count, 4, big);
      Put(b, e + 8, list[i].value, 4, big);
    }
    Put(b, at + 2 + 12 * list.size(), next, 4, big);
  };
  write(ifd0, first, static_cast<uint32_t>(ifd1));
  std::copy(make, make + makeChars - 1, b.begin() + static_cast<long>(strings));
  write(exif, {{0x829A, 5, 1, static_cast<uint32_t>(exif + 18)}}, 0);
  Put(b, exif + 18, 1, 4, big);
  Put(b, exif + 22, 250, 4, big);
  write(ifd1, {{0x0111, 4, 1, static_cast<uint32_t>(rawOffset)}, {0x0117, 4, 1, kRawDataBytes}}, 0);
  b.insert(b.end(), jpeg.begin(), jpeg.end());
  b.resize(rawOffset, 0);
  const std::vector<uint8_t> raw = RandomBytes(kRawDataBytes, 41);
  b.insert(b.end(), raw.begin(), raw.end());
  return b;
}

// Fujifilm's header names the preview, the sensor header and the sensor data.
std::vector<uint8_t> RafRaw(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> b(kRawPreviewOffset, 0);
  const std::string head = "FUJIFILMCCD-RAW 0201FF383501";
  std::copy(head.begin(), head.end(), b.begin());
  const uint32_t cfaHeader = static_cast<uint32_t>((kRawPreviewOffset + jpeg.size() + 511) / 512 * 512);
  const uint32_t parts[] = {kRawPreviewOffset, static_cast<uint32_t>(jpeg.size()), cfaHeader, 512, cfaHeader + 512,
                            kRawDataBytes};
  for (size_t i = 0; i < 6; ++i) WriteU32BE(b.data(), 84 + 4 * i, parts[i]);
  b.insert(b.end(), jpeg.begin(), jpeg.end());
  b.resize(cfaHeader, 0);
  const std::vector<uint8_t> raw = RandomBytes(512 + kRawDataBytes, 43);
  b.insert(b.end(), raw.begin(), raw.end());
  return b;
}

// Canon's ISO media raw: ftyp, a moov with one uuid box, and an mdat holding the preview on a
// sector boundary and the raw data.
std::vector<uint8_t> Cr3Raw(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> b = Join({{0, 0, 0, 24}, Text("ftypcrx "), {0, 0, 0, 1}, Text("crx isom"), {0, 0, 0, 216},
                                 Text("moov"), {0, 0, 0, 208}, Text("uuid"), RandomBytes(200, 45), {0, 0, 0, 0},
                                 Text("mdat")});
  const size_t mdat = b.size() - 8;
  b.resize(kRawPreviewOffset, 0);
  b = Join({b, jpeg, RandomBytes(kRawDataBytes, 47)});
  WriteU32BE(b.data(), mdat, static_cast<uint32_t>(b.size() - mdat));
  return b;
}

// GIMP writes XCF; no package here installs it headless, so the header is built: the magic,
// the version, the canvas size and mode, then property and layer data.
std::vector<uint8_t> XcfImage(const std::vector<uint8_t>&) {
  return Join({Text(std::string("gimp xcf v011\0", 14)), RandomBytes(6000, 49)});
}

// A JPEG whose Exif thumbnail starts on a sector boundary: the description's length is tuned
// until exiftool places it there.
bool MakeThumbnailOnSector(const std::string& folder) {
  size_t pad = 8;
  for (int attempt = 0; attempt < 6; ++attempt) {
    const std::string run = "cd " + ShellQuote(folder) +
                            " && cp phone.jpg thumbsector.jpg && exiftool -q -overwrite_original "
                            "'-ThumbnailImage<=thumb.jpg' '-ImageDescription=" + std::string(pad, 'd') +
                            "' thumbsector.jpg >/dev/null 2>&1";
    if (RunCommand(run) != 0) return false;
    // The first JPEG start after the file's own is the Exif thumbnail's.
    const std::vector<uint8_t> jpeg = ReadFileBytes(folder + "/thumbsector.jpg");
    const uint8_t start[] = {0xFF, 0xD8, 0xFF};
    if (jpeg.size() < 4) return false;
    const size_t at = static_cast<size_t>(std::search(jpeg.begin() + 2, jpeg.end(), start, start + 3) - jpeg.begin());
    if (at >= jpeg.size()) return false;
    if (at % 512 == 0) return true;
    pad += 512 - at % 512;
  }
  return false;
}
// MIDI: a header declaring three tracks, then the track chain; the third track header lies
// across the end of the walk's first chunk (file offset 512 + 64 KiB).
std::vector<uint8_t> Midi(const std::vector<uint8_t>&) {
  std::vector<uint8_t> f = Join({Text("MThd"), {0, 0, 0, 6, 0, 1, 0, 3, 0, 96}});
  for (uint32_t length : {300u, 65714u, 5000u}) {
    f = Join({f, Text("MTrk"), {0, 0, 0, 0}, Filler(length, length)});
    WriteU32BE(f.data(), f.size() - length - 4, length);
  }
  return f;
}

// Monkey's Audio with an APE tag: its header, some data, its footer.
std::vector<uint8_t> Ape(const std::vector<uint8_t>&) {
  auto tag = [](bool footer) {
    std::vector<uint8_t> t = Join({Text("APETAGEX"), {0xD0, 0x07, 0, 0}});
    t.resize(32, 0);
    t[20] = footer ? 0 : 0x20;
    return t;
  };
  return Join({Text("MAC "), {0x96, 0x0F}, Filler(9000, 1), tag(false), Filler(200, 2), tag(true)});
}

// RAR 4: marker block, archive header, one stored file, end-of-archive block.
std::vector<uint8_t> Rar(const std::vector<uint8_t>&) {
  const std::vector<uint8_t> data = Filler(3000, 5);
  std::vector<uint8_t> file = Join({{0, 0, 0x74, 0x00, 0x80, 0, 0}, std::vector<uint8_t>(16, 0),
                                    {20, 0x30, 5, 0, 0x20, 0, 0, 0}, Text("a.txt")});
  WriteU16LE(file.data(), 5, static_cast<uint16_t>(file.size()));
  WriteU32LE(file.data(), 7, static_cast<uint32_t>(data.size()));
  WriteU32LE(file.data(), 11, static_cast<uint32_t>(data.size()));
  return Join({Text("Rar!"), {0x1A, 0x07, 0x00, 0xCF, 0x90, 0x73, 0x00, 0x00, 0x0D, 0x00, 0, 0, 0, 0, 0, 0}, file,
               data, {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00}});
}

// A cabinet declares its size in its header.
std::vector<uint8_t> Cab(const std::vector<uint8_t>&) {
  std::vector<uint8_t> f = Join({Text("MSCF"), std::vector<uint8_t>(32, 0), Filler(7000, 7)});
  WriteU32LE(f.data(), 8, static_cast<uint32_t>(f.size()));
  return f;
}

// The order is the order of the test image: the camera picture is followed at once by the PNG.
const Recipe kRecipes[] = {
    {"camera.jpg",  // Exif first, with a thumbnail
     "convert -seed 7 -size 900x700 plasma:fractal camera.jpg && convert camera.jpg -resize 160x120 thumb.jpg && "
     "exiftool -q -overwrite_original -JFIF:all= '-ThumbnailImage<=thumb.jpg' -Make=Canon '-Model=EOS 5D' camera.jpg",
     "jpg", kExact},
    {"photo.png", "convert -seed 5 -size 200x150 plasma:fractal photo.png", "png", kExact},
    {"phone.jpg",  // JFIF, then Exif with a thumbnail
     "convert -seed 3 -size 640x480 plasma:fractal -quality 90 phone.jpg && "
     "exiftool -q -overwrite_original '-ThumbnailImage<=thumb.jpg' -Make=Apple '-Model=iPhone 12' phone.jpg",
     "jpg", kExact},
    {"photo.gif", GRADIENT "photo.gif", "gif", kExact},
    {"old.bmp", GRADIENT "BMP3:old.bmp", "bmp", kExact},
    {"new.bmp", GRADIENT "new.bmp", "bmp", kNotAFile},  // a 124-byte header, which the test turns down
    {"photo.tif", GRADIENT "photo.tif", "tif", kExact},
    {"be.tif", GRADIENT "-define tiff:endian=msb be.tif", "tif", kExact},
    {"photo.psd", GRADIENT "photo.psd", "psd", kBounded},
    {"icon.ico", GRADIENT "-define icon:auto-resize=16,32,48 icon.ico", "ico", kExact},
    {"doc.rtf", "enscript -q --language=rtf -o doc.rtf numbers.txt", "rtf", kExact},
    {"plain.zip", "zip -q -X plain.zip notes.txt", "zip", kExact},
    {"letter.docx", "zip -q -X letter.docx '[Content_Types].xml' word/document.xml", "docx", kExact},
    {"sheet.xlsx", "zip -q -X sheet.xlsx '[Content_Types].xml' xl/workbook.xml", "xlsx", kExact},
    {"talk.pptx", "zip -q -X talk.pptx '[Content_Types].xml' ppt/presentation.xml", "pptx", kExact},
    // A package of no known kind, and members found in the second window or past the fifth.
    {"odd.docx", "zip -q -X odd.docx '[Content_Types].xml' docProps/app.xml", "zip", kExact},
    {"late.docx", "zip -q -X -0 late.docx '[Content_Types].xml' filler.bin word/document.xml", "docx", kExact},
    {"far.docx", "zip -q -X -0 far.docx '[Content_Types].xml' filler12k.bin word/document.xml", "zip", kExact},
    {"two.7z", "7z a -bd -y two.7z filler.bin notes.txt", "7z", kExact},
    {"big.7z", "7z a -bd -y big.7z numbers.txt filler.bin notes.txt", "7z", kExact},  // a larger packed header
    {"best.gz", "gzip -9 -c numbers.txt > best.gz", "gz", kBounded},
    {"fast.gz", "gzip -1 -c numbers.txt > fast.gz", "gz", kBounded},
    {"normal.gz", "gzip -6 -c numbers.txt > normal.gz", "gz", kNotAFile},  // extra flags 0
    {"data.db", "sqlite3 data.db 'create table t(x); insert into t values(randomblob(3000)), (randomblob(9000));'",
     "db", kBounded},
    {"tone.mp3",  // ID3v2 and ID3v1 tags
     FFMPEG "-f lavfi -i sine=frequency=440:duration=2 -c:a libmp3lame -id3v2_version 3 -write_id3v1 1 "
            "-metadata title=Tone -metadata artist=Vorlenta tone.mp3",
     "mp3", LengthRule::kId3v1Tail},
    {"tone.wav", "sox -n -r 8000 -c 1 tone.wav synth 0.5 sine 440", "wav", kExact},
    {"clip.avi", CLIP "-c:v mpeg4 clip.avi", "avi", kExact},
    {"clip.mp4", CLIP "-c:v mpeg4 clip.mp4", "mp4", kExact},
    {"clip.mov", CLIP "-c:v mpeg4 clip.mov", "mov", kExact},
    {"clip.3gp", CLIP "-c:v mpeg4 clip.3gp", "3gp", kExact},
    {"clip.mpg", CLIP "-c:v mpeg1video -f mpeg clip.mpg", "mpeg", kBounded},
    {"clip.ts", CLIP "-f mpegts clip.ts", "ts", kExact},
    {"clip.vob", CLIP "-c:v mpeg2video -f vob clip.vob", "mpeg", kBounded},
    {"clip.mkv", CLIP "clip.mkv", "mkv", kExact},
    {"clip.flv", CLIP "clip.flv", "flv", kBounded},
    {"clip.wmv", CLIP "-f asf clip.wmv", "wmv", kExact},
    {"tone.wma", TONE "-c:a wmav2 -f asf tone.wma", "wmv", kExact},
    {"clip.m1v", CLIP "-c:v mpeg1video -f mpeg1video clip.m1v", "mpeg", kBounded},
    {"clip.swf", CLIP "-c:v flv1 -f swf clip.swf", "swf", kNotAFile},  // plain, of version 6
    {"clip.mxf", CLIP "-c:v mpeg2video -f mxf clip.mxf", "mxf", kBounded},
    {"tone.rm", TONE "-c:a ac3 -f rm tone.rm", "rmvb", kBounded},
    {"clip.m2v", CLIP "-c:v mpeg2video -f mpeg2video clip.m2v", "mpeg", kBounded},
    {"headfirst.ttf", "cp " HEAD_FIRST_FONT " headfirst.ttf", "ttf", kExact},
    {"shipped.ttf", "cp " TTF_FONT " shipped.ttf", "ttf", kNotAFile},  // its first table is not 'head'
    // Formats no tool here writes, byte-built.
    {"song.mid", "", "mid", kExact, Midi},
    {"tone.ape", "", "ape", kExact, Ape},
    {"files.rar", "", "rar", kExact, Rar},
    {"files.cab", "", "cab", kExact, Cab},
    // Phones, cameras and current software.
    {"thumbsector.jpg", "", "jpg", kExact},  // its Exif thumbnail starts on a sector
    {"photo.heic", PLASMA "src.png && heif-enc -q 50 -o photo.heic src.png", "heic", kExact},
    {"photo.avif", PLASMA "photo.avif", "avif", kExact},
    {"photo.webp", PLASMA "photo.webp", "webp", kExact},
    {"photo.jp2", PLASMA "src2.png && opj_compress -i src2.png -o photo.jp2", "jp2", kExact},
    {"photo.j2k", PLASMA "src3.png && opj_compress -i src3.png -o photo.j2k", "j2k", kExact},
    {"photo.ppm", PLASMA "photo.ppm", "ppm", kExact},
    {"photo.pgm", PLASMA "photo.pgm", "pgm", kExact},
    {"photo.pbm", PLASMA "photo.pbm", "pbm", kExact},
    {"photo.tga", PLASMA "photo.tga", "tga", kExact},
    {"rle.tga", PLASMA "-compress RLE rle.tga", "tga", kExact},
    {"image.xcf", "", "xcf", kBounded, XcfImage},
    // Camera raw files around a real JPEG preview (the phone picture's thumbnail), byte-built.
    {"camera.cr2", "", "cr2", kExact, [](const Bytes& p) { return TiffRaw("CR2", "Canon", false, p); }},
    {"camera.cr3", "", "cr3", kExact, Cr3Raw},
    {"camera.nef", "", "nef", kExact, [](const Bytes& p) { return TiffRaw("MM", "NIKON CORPORATION", false, p); }},
    {"camera.arw", "", "arw", kExact, [](const Bytes& p) { return TiffRaw("II", "SONY", false, p); }},
    {"camera.dng", "", "dng", kExact, [](const Bytes& p) { return TiffRaw("II", "Canon", true, p); }},
    {"camera.orf", "", "orf", kExact, [](const Bytes& p) { return TiffRaw("IIRO", "OLYMPUS CORPORATION", false, p); }},
    {"camera.rw2", "", "rw2", kExact,
     [](const Bytes& p) { return TiffRaw(std::string("IIU\0", 4), "Panasonic", false, p); }},
    {"camera.raf", "", "raf", kExact, RafRaw},
    {"camera.pef", "", "pef", kExact, [](const Bytes& p) { return TiffRaw("MM", "PENTAX Corporation", false, p); }},
    {"tone.flac", "sox -n -b 16 -r 44100 -c 1 pcm.wav synth 1 sine 440 && flac -s -f -o tone.flac pcm.wav", "flac",
     kExact},
    {"tone.ogg", "oggenc -Q -o tone.ogg pcm.wav", "ogg", kExact},
    {"tone.opus", "opusenc --quiet pcm.wav tone.opus", "opus", kExact},
    {"tone.m4a", FFMPEG "-i pcm.wav -c:a aac tone.m4a", "m4a", kExact},
    {"book.m4b", FFMPEG "-i pcm.wav -c:a aac -f ipod -brand 'M4B ' book.m4b", "m4b", kExact},
    {"tone.aiff", "sox pcm.wav tone.aiff", "aiff", kExact},
    {"tone.au", "sox pcm.wav tone.au", "au", kExact},
    {"tone.amr", "sox pcm.wav -r 8000 -t amr-nb tone.amr", "amr", kExact},
    {"clip.webm", CLIP "-c:v libvpx clip.webm", "webm", kExact},
    {"clip.ogv", CLIP "-c:v libtheora clip.ogv", "ogv", kExact},
    {"clip.m4v", CLIP "-c:v mpeg4 clip.m4v", "m4v", kExact},
    {"clip.m2ts", CLIP "-c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1 clip.m2ts", "mts", kExact},
    {"doc.odt", ZIPPED("odt", "application/vnd.oasis.opendocument.text", "doc.odt"), "odt", kExact},
    {"sheet.ods", ZIPPED("ods", "application/vnd.oasis.opendocument.spreadsheet", "sheet.ods"), "ods", kExact},
    {"talk.odp", ZIPPED("odp", "application/vnd.oasis.opendocument.presentation", "talk.odp"), "odp", kExact},
    {"book.epub", ZIPPED("epub", "application/epub+zip", "book.epub"), "epub", kExact},
    // The PostScript file's end marker follows the PDF at once; it is not the PDF's.
    {"doc.pdf", "printf '.TL\\nCarved\\n.PP\\nA page of text set by groff.\\n' | groff -ms -Tpdf > doc.pdf", "pdf",
     kExact},
    {"doc.ps", "printf '.TL\\nCarved\\n.PP\\nText.\\n' | groff -ms -Tps > doc.ps", "ps", kExact},
    {"doc.html", "printf '.TL\\nCarved\\n.PP\\nText.\\n' | groff -ms -Thtml > doc.html", "html", kExact},
    {"probe.xml", "ffprobe -v error -of xml -show_format -show_streams clip.mkv > probe.xml", "xml", kExact},
    {"files.tar", "tar cf files.tar numbers.txt filler.bin", "tar", kExact},
    {"numbers.bz2", "bzip2 -c numbers.txt > numbers.bz2", "bz2", kExact},
    {"numbers.xz", "xz -c numbers.txt > numbers.xz", "xz", kExact},
    {"numbers.zst", "zstd -q -c numbers.txt > numbers.zst", "zst", kExact},
    {"font.otf", "cp " OTF_FONT " font.otf", "otf", kExact},
    {"font.woff", "cp " OTF_FONT " w1.otf && sfnt2woff w1.otf && mv w1.woff font.woff", "woff", kExact},
    {"font.woff2", "cp " OTF_FONT " w2.otf && woff2_compress w2.otf && mv w2.woff2 font.woff2", "woff2", kExact},
};

}  // namespace

std::vector<uint8_t> Filler(size_t bytes, uint64_t seed) {
  std::vector<uint8_t> r = RandomBytes(bytes, seed);
  for (size_t s = 0; s < bytes; s += kSampleSector) r[s] = static_cast<uint8_t>(0xA0 + s / kSampleSector % 7);
  return r;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Sector(std::vector<uint8_t> head) {
  head.resize(kSampleSector, 0);
  return head;
}

SampleDevice::SampleDevice(const std::vector<uint8_t>& bytes, uint64_t extraSectors)
    : m_path(m_dir / "device.img"), m_bytes(bytes) {
  WriteFileBytes(m_path, bytes);
  m_status = m_reader.InitPath(m_path, bytes.size() / kSampleSector + extraSectors);
}

std::string MakeCarveSamples(const std::string& folder, std::vector<CarveSample>& out) {
  std::string error;
  const auto path = [&](const std::string& name) { return folder + "/" + name; };
  WriteFileBytes(path("filler.bin"), RandomBytes(3000, 3));
  WriteFileBytes(path("filler12k.bin"), RandomBytes(12000, 12));
  const std::string inputs =
      "seq 20000 > numbers.txt && head -c 2000 numbers.txt > notes.txt && head -c 300 numbers.txt > "
      "'[Content_Types].xml' && mkdir -p word xl ppt docProps && for m in word/document xl/workbook "
      "ppt/presentation docProps/app; do head -c 1500 filler12k.bin > $m.xml; done";
  if (RunCommand("cd " + ShellQuote(folder) + " && " + inputs) != 0) return "cannot make the sample inputs";

  for (const Recipe& r : kRecipes) {
    if (std::string(r.file) == "thumbsector.jpg" && !MakeThumbnailOnSector(folder)) error += "no thumbsector.jpg; ";
    if (r.build != nullptr) WriteFileBytes(path(r.file), r.build(ReadFileBytes(path("thumb.jpg"))));
    const std::string run = "cd " + ShellQuote(folder) + " && (" + r.command + ") >/dev/null 2>&1";
    if ((*r.command != '\0' && RunCommand(run) != 0) || ReadFileBytes(path(r.file), 1).empty()) {
      error += std::string("cannot make ") + r.file + " (see scripts/install-deps.sh); ";
      continue;
    }
    out.push_back({r.file, path(r.file), r.extension, r.rule});
  }
  return error;
}

size_t SampleImage::Index(const std::string& file) const {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].label == file) return i;
  }
  ADD_FAILURE() << "no sample " << file;
  return 0;
}

void CarverContext(CDiskReader* reader, uint64_t start) {
  CFileTypeJudge::SetDetectionContext(reader, kSampleSector, start);
  CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
  CFileTypeJudge::m_bIsMtsFileHead = 0;
  CFileTypeJudge::m_tsFileRangeVec.clear();
}

SampleImage& CarveSampleImage() {
  static SampleImage image;
  static bool built = false;
  if (built) return image;
  built = true;
  static TempDir folder;
  image.error = MakeCarveSamples(folder.path(), image.samples);
  if (!image.error.empty()) return image;

  // A real FAT directory sector, from a volume mkfs.fat made and mtools filled.
  const std::string fatImage = folder / "fat.img";
  WriteFileBytes(folder / "a.txt", Text("hello"));
  std::vector<uint8_t> fatDirectory;
  if (MakeFatVolume(fatImage, 1024, "-F 12") && PutFile(fatImage, folder / "a.txt", "::/A.TXT") &&
      PutFile(fatImage, folder / "a.txt", "::/B.TXT")) {
    const std::vector<uint8_t> fat = ReadFileBytes(fatImage);
    for (size_t s = 0; s + kSampleSector <= fat.size() && fatDirectory.empty(); s += kSampleSector) {
      if (CFileTypeJudge::IsFileSystemSector(&fat[s], kSampleSector) &&
          CFileTypeJudge::GetDataBufType(&fat[s], kSampleSector) == kTypeNone) {
        fatDirectory.assign(fat.begin() + static_cast<long>(s), fat.begin() + static_cast<long>(s + kSampleSector));
      }
    }
  }
  if (fatDirectory.empty()) {
    image.error = "no FAT directory sector from mkfs.fat and mtools";
    return image;
  }

  std::vector<uint8_t> bytes;
  // Appends `part` at the next sector, padded with zeros to a whole sector; its first sector.
  const auto add = [&bytes](const std::vector<uint8_t>& part) {
    const uint64_t first = bytes.size() / kSampleSector;
    bytes.insert(bytes.end(), part.begin(), part.end());
    bytes.resize((bytes.size() + kSampleSector - 1) / kSampleSector * kSampleSector, 0);
    return first;
  };
  add(Filler(64 * kSampleSector, 1));
  for (size_t i = 0; i < image.samples.size(); ++i) {
    const CarveSample& s = image.samples[i];
    image.start.push_back(add(ReadFileBytes(s.path)));
    // What follows: N nothing, R random data, Z zeros, T an NTFS file record or F a FAT
    // directory sector. The camera JPEG is followed at once by the PNG. The ID3v1 rule looks
    // for "TAG" in every chunk it passes, and AMR records no length: its frame chain stops at
    // zeros. The package test reads 20 sectors from a ZIP's start and would type a plain ZIP by
    // the member names of a package right behind it.
    const std::string zips = " zip docx xlsx pptx odt ods odp epub ";
    char gap = "RNZRTNF"[i % 7];
    if (i == 0) gap = 'N';
    if (s.rule == LengthRule::kId3v1Tail || s.extension == "amr" || zips.find(" " + s.extension + " ") != zips.npos) {
      gap = 'Z';
    }
    const uint64_t here = bytes.size() / kSampleSector;
    if (gap == 'R') add(Filler((3 + (i * 7) % 40) * kSampleSector, 100 + i));
    if (gap == 'Z') add(std::vector<uint8_t>(24 * kSampleSector, 0));
    if (gap == 'T' || gap == 'F') {
      add(gap == 'F' ? fatDirectory : Sector(Join({Text("FILE"), {0x30, 0, 3, 0}})));
      add(Filler(5 * kSampleSector, 200 + i));
    }
    // Random data and zero runs do not end a walk; the next file or file-system sector does.
    image.limit.push_back(gap == 'T' || gap == 'F' ? here : 0);
  }
  const uint64_t end = add(Filler(64 * kSampleSector, 2)) + 64;
  for (size_t i = image.limit.size(); i-- > 0;) {
    // A file the tests turn down does not end the walk of the one before it.
    const bool nextIsFile = i + 1 < image.start.size() && image.samples[i + 1].rule != LengthRule::kNotAFile;
    if (image.limit[i] != 0) continue;
    image.limit[i] = i + 1 == image.start.size() ? end : nextIsFile ? image.start[i + 1] : image.limit[i + 1];
  }
  image.device = std::make_unique<SampleDevice>(bytes);
  if (image.device->status() != 0) image.error = "cannot open the image";
  return image;
}

}  // namespace vorlenta::test
